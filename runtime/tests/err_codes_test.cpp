#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "runtime/err_codes.h"

namespace {

std::string suffix(ERRG_codeE code) {
    char text[160];
    int n = ERRG_formatErrCode(code, text, sizeof text);
    EXPECT_EQ(n, static_cast<int>(std::strlen(text)));
    return text;
}

TEST(ErrCodeTable, HoldsEveryModuleCodeOnceInSortedHostForm) {
    ASSERT_EQ(ERRG_moduleCodeTable.size(), 349u);
    std::set<ERRG_codeE> seen;
    for (const auto& entry : ERRG_moduleCodeTable) {
        EXPECT_EQ(ERRG_sideOf(entry.code), static_cast<uint32_t>(ERRG_SIDE_HOST)) << std::hex << entry.code;
        EXPECT_GE(ERRG_codeOf(entry.code), 11u) << std::hex << entry.code;
        ASSERT_NE(entry.name, nullptr);
        EXPECT_TRUE(seen.insert(entry.code).second) << std::hex << entry.code;
    }
    EXPECT_EQ(ERRG_moduleNameTable.size(), 44u);
}

// One code of every module with code names: the first, a middle or the last entry.
TEST(ErrCodeTable, NamesASampleOfEveryModule) {
    struct Sample {
        uint32_t module;
        uint32_t code;
        const char* name;
    };
    const Sample samples[] = {
        {1, 24, "CREATE_GP_CEVA_CONNECTION_FAIL"},
        {2, 13, "INVALID_CHANEL_NUM"},
        {3, 25, "INTERRUPT_CFG_FAIL_WRONG_NUM"},
        {4, 27, "SET_DISP_RANGE_BAD_RANGE"},
        {5, 12, "INIT_FAIL_MNGR_FAIL"},
        {5, 69, "SET_ISR_PARAMS_FAIL"},
        {6, 14, "CONNECTION_IS_DOWN"},
        {7, 11, "MISSING_OPT"},
        {8, 14, "CREATE_MUTEX_FAIL"},
        {9, 11, "SERVICE__INCOMPLETE"},
        {9, 17, "READ_FAIL_COMM_DISCONNECTED"},
        {10, 11, "DEPTH__QUE_TIMEOUT"},
        {11, 20, "START_FAILS_WRONG_DATA_TYPE"},
        {12, 11, "CONFIGUTATION_FAILED"},
        {13, 16, "OUT_CHAN_FREE_TIMEOUT"},
        {14, 18, "INVALID_IOCTL_FUNC"},
        {15, 13, "OPEN_VDMA_FAIL"},
        {16, 11, "GENERAL_FAIL"},
        {18, 15, "RCV_BAD_BUF_ADDR"},
        {19, 14, "DATA_BASE_INIT_FAIL"},
        {20, 12, "ALLOC_BUF_FAIL_BIG_BUF_SIZE"},
        {21, 14, "CREATE_MSG_Q_FAIL"},
        {22, 29, "WRITE_ILLEGAL_NUM_OF_ADDRESS_ACCESS_SIZE"},
        {22, 31, "OPEN_HL_DRV_FAIL_WRONG_DEVICE_ID"},
        {23, 13, "CPMUTEX_ACQUIRE_FAIL"},
        {24, 11, "REGION_NO_FOUND"},
        {25, 14, "WAIT_THREAD_FAIL"},
        {26, 12, "HW_REGS__INSERT_WRONG_PARAM_TO_TABLE"},
        {27, 14, "BOX_IS_EMPTY"},
        {28, 21, "READ_BLOCK_FAIL_INVALID_HANDLE"},
        {29, 11, "LOST_SOCKET_CONNECTION"},
        {30, 11, "GENERAL_ERR"},
        {34, 14, "FAIL_PEEK_MSG_LEN_TOO_LARGE"},
        {35, 21, "GME_NOT_READY"},
        {36, 12, "FAILED_TO_OPEN_FILE"},
        {37, 11, "WRONG_CMD_RESP"},
        {38, 16, "DEV_NOT_INIT"},
        {39, 22, "LOAD_CEVA_FAIL_WRONG_CEVA_ID"},
        {40, 18, "GPIO_NUM_EXCEED_MAX"},
        {41, 11, "WEBCAM__QUE_TIMEOUT"},
        {42, 13, "ISPI_RX_FAIL"},
        {43, 21, "GPIO_NUM_EXCEED_MAX"},
        {44, 16, "HANDLE_CH_DONE_FAIL"},
        {45, 15, "DEV_NOT_INIT"},
        {47, 11, "DUMMY_ERROR"},
        {48, 15, "SINK_REMOVED"},
        {51, 17, "SENSOR_CFG_FAIL_INVALID_RES"},
        {52, 11, "FAIL_TO_SEND_INT_MSG"},
        {53, 11, "FAIL_TO_SEND_INT_MSG"},
        {54, 13, "UPDATE_STREAMS_FAIL"},
        {55, 11, "WRONG_CEVA_ID"},
    };
    for (const auto& s : samples) {
        EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(s.module, s.code)), s.name)
            << "module " << s.module << " code " << s.code;
    }
}

TEST(ErrCodeTable, GapsInsideAModuleAndUnknownModulesNameInvalid) {
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(3, 24)), "INVALID");  // between 23 and 25
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(6, 13)), "INVALID");  // between 12 and 14
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(5, 11)), "INVALID");  // module starts at 12
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(1, 25)), "INVALID");  // past the module's last
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(17, 11)), "INVALID");
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(60, 11)), "INVALID");
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(255, 0xFFFF)), "INVALID");
    EXPECT_STREQ(ERRG_errCodeToString(0xFFFFFFFFu), "INVALID");
}

TEST(ErrCodeNames, GenericCodesNameTheSameInEveryModuleAndSide) {
    EXPECT_STREQ(ERRG_errCodeToString(0x0), "SUCCESS");
    EXPECT_STREQ(ERRG_errCodeToString(0x1140000), "SUCCESS");
    EXPECT_STREQ(ERRG_errCodeToString(0xF370000), "SUCCESS");
    EXPECT_STREQ(ERRG_errCodeToString(0x5), "NULL_PTR");
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_makeCode(ERRG_SIDE_CEVA, 200, 1)), "UNEXPECTED");
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(ERRG_MOD_SERVICE, 6)), "TIMEOUT");
    EXPECT_STREQ(ERRG_errCodeToString(ERRG_hostCode(ERRG_MOD_SERVICE, 10)), "INVALID_SERVICE");
}

TEST(ErrCodeNames, ModuleCodesNameTheSameOnEverySide) {
    EXPECT_STREQ(ERRG_errCodeToString(0x114000B), "ALLOC_BUF_FAIL_NULL_HANDLE");
    EXPECT_STREQ(ERRG_errCodeToString(0x214000B), "ALLOC_BUF_FAIL_NULL_HANDLE");
    EXPECT_STREQ(ERRG_errCodeToString(0x014000B), "ALLOC_BUF_FAIL_NULL_HANDLE");
    EXPECT_STREQ(ERRG_errCodeToString(0xF14000B), "ALLOC_BUF_FAIL_NULL_HANDLE");
    // Bits above the side do not take part in the name.
    EXPECT_STREQ(ERRG_errCodeToString(0xF114000Bu), "ALLOC_BUF_FAIL_NULL_HANDLE");
}

TEST(ErrCodeNames, SideAndModuleNamesOutsideTheirTablesAreInvalid) {
    EXPECT_STREQ(ERRG_sideName(1), "HOST");
    EXPECT_STREQ(ERRG_sideName(4), "IAF");
    EXPECT_STREQ(ERRG_sideName(0), "INVALID");
    EXPECT_STREQ(ERRG_sideName(5), "INVALID");
    EXPECT_STREQ(ERRG_sideName(0xFFFFFFFFu), "INVALID");
    EXPECT_STREQ(ERRG_moduleName(1), "SVC_MNGR");
    EXPECT_STREQ(ERRG_moduleName(60), "MORV");
    EXPECT_STREQ(ERRG_moduleName(0), "INVALID");
    EXPECT_STREQ(ERRG_moduleName(46), "INVALID");
    EXPECT_STREQ(ERRG_moduleName(61), "INVALID");
    EXPECT_STREQ(ERRG_moduleName(0xFFFFFFFFu), "INVALID");
}

TEST(ErrCodeSuffix, SpellsCodeSideModuleAndName) {
    EXPECT_EQ(suffix(0x114000D), " [0x114000D, HOST, MEM_POOL, ALLOC_BUF_FAIL_NO_BUF_IN_POOL]");
    EXPECT_EQ(suffix(0x214000B), " [0x214000B, GP, MEM_POOL, ALLOC_BUF_FAIL_NULL_HANDLE]");
    EXPECT_EQ(suffix(0x1090000), " [0x1090000, HOST, SERVICE, SUCCESS]");
    EXPECT_EQ(suffix(0x333000B), " [0x333000B, CEVA, INVALID, RESET_FAIL]");
    EXPECT_EQ(suffix(0x4300010), " [0x4300010, IAF, STREAMER, INVALID]");
}

TEST(ErrCodeSuffix, UnknownModuleAndSidesPrintInvalid) {
    EXPECT_EQ(suffix(ERRG_hostCode(17, 2)), " [0x1110002, HOST, INVALID, INVALID_ARGS]");
    EXPECT_EQ(suffix(0x0140005), " [0x140005, INVALID, MEM_POOL, NULL_PTR]");
    EXPECT_EQ(suffix(0x5140005), " [0x5140005, INVALID, MEM_POOL, NULL_PTR]");
    // Module 51 has code names but no module name.
    EXPECT_EQ(suffix(ERRG_hostCode(51, 11)), " [0x133000B, HOST, INVALID, RESET_FAIL]");
}

TEST(ErrCodeSuffix, TruncatesToRoomAndReportsTheFullLength) {
    const std::string full = " [0x114000D, HOST, MEM_POOL, ALLOC_BUF_FAIL_NO_BUF_IN_POOL]";
    char text[16];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(ERRG_formatErrCode(0x114000D, text, 10), static_cast<int>(full.size()));
    EXPECT_STREQ(text, full.substr(0, 9).c_str());
    EXPECT_EQ(text[10], 'x') << "wrote past room";

    text[0] = 'y';
    EXPECT_EQ(ERRG_formatErrCode(0x114000D, text, 0), static_cast<int>(full.size()));
    EXPECT_EQ(text[0], 'y') << "room 0 must write nothing";
    EXPECT_EQ(ERRG_formatErrCode(0x114000D, nullptr, 0), static_cast<int>(full.size()));
    EXPECT_EQ(ERRG_formatErrCode(0x114000D, text, 1), static_cast<int>(full.size()));
    EXPECT_STREQ(text, "");
}

}  // namespace
