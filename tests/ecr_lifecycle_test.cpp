// The single ECR object, its callbacks, the state word, the version and the
// logging switches with the log file they open.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "support/files.h"

namespace {

// A temporary directory, removed with its files when the case ends.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/ecr_lifecycle_XXXXXX";
        const char* dir = mkdtemp(tmpl);
        path = dir != nullptr ? dir : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// Today's log file name, composed independently of the library.
std::string todays_log_name()
{
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof(name), "VAR17_QTM %04d.%02d.%02d.log", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    return name;
}

unsigned long g_lastResult = 0;
int g_trxCalls = 0;
std::string g_lastText;
void on_trx_a(unsigned long r) { g_lastResult = r; ++g_trxCalls; }
void on_trx_b(unsigned long r) { g_lastResult = r + 1000; ++g_trxCalls; }
void on_msg(char const* text) { g_lastText = text; }

class EcrLifecycle : public ::testing::Test {
protected:
    void SetUp() override { destroy_object(create_object()); }
    void TearDown() override { destroy_object(create_object()); }
};

TEST_F(EcrLifecycle, SingleInstanceAndFreshAfterDestroy)
{
    CVarkoClass2017* first = create_object();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(create_object(), first);
    destroy_object(nullptr);
    EXPECT_EQ(create_object(), first);

    put_MerchantID(55);
    put_CurrencyCode(100);
    put_TransportType(2);
    first->m_State = 20;
    destroy_object(first);

    CVarkoClass2017* fresh = create_object();
    unsigned char mid = 1;
    unsigned short cc = 0;
    short type = 9;
    get_MerchantID(&mid);
    get_CurrencyCode(&cc);
    get_TransportType(&type);
    EXPECT_EQ(mid, 0);
    EXPECT_EQ(cc, 980);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(OnTRX(), 0);
    EXPECT_EQ(fresh->GetPosHandle(), nullptr);
}

TEST_F(EcrLifecycle, VersionStaysAfterRepeatedConstruction)
{
    CVarkoClass2017* ecr = create_object();
    EXPECT_EQ(ecr->m_Version, "1.0.1.0");
    ecr->m_CurrencyCode = 5;
    EXPECT_EQ(ecr->FinalConstruct(), 0);
    EXPECT_EQ(ecr->m_Version, "1.0.1.0");
    EXPECT_EQ(ecr->m_CurrencyCode, 980);
    char buf[8];
    EXPECT_EQ(get_DLLVersion(buf), 0);
    EXPECT_STREQ(buf, "1.0.1.0");
    EXPECT_EQ(get_DLLVersion(nullptr), -1);
}

TEST_F(EcrLifecycle, CallbacksRegisterReplaceAndClear)
{
    CVarkoClass2017* ecr = create_object();
    EXPECT_FALSE(ecr->m_OnTrxComplete);
    EXPECT_FALSE(ecr->m_OnMsgReceived);

    g_trxCalls = 0;
    OnTrxComplete(on_trx_a);
    OnMsgReceived(on_msg);
    {
        // As the worker does: invoke under the callback lock.
        std::lock_guard<std::mutex> lock(ecr->m_CallbackLock);
        ASSERT_TRUE(ecr->m_OnTrxComplete);
        ecr->m_OnTrxComplete(42);
        ASSERT_TRUE(ecr->m_OnMsgReceived);
        ecr->m_OnMsgReceived("INSERT CARD");
    }
    EXPECT_EQ(g_lastResult, 42u);
    EXPECT_EQ(g_lastText, "INSERT CARD");

    OnTrxComplete(on_trx_b);
    {
        std::lock_guard<std::mutex> lock(ecr->m_CallbackLock);
        ecr->m_OnTrxComplete(7);
    }
    EXPECT_EQ(g_lastResult, 1007u);
    EXPECT_EQ(g_trxCalls, 2);

    OnTrxComplete(nullptr);
    OnMsgReceived(nullptr);
    EXPECT_FALSE(ecr->m_OnTrxComplete);
    EXPECT_FALSE(ecr->m_OnMsgReceived);
}

TEST_F(EcrLifecycle, CompletionReachesTheRegisteredCallback)
{
    CVarkoClass2017* ecr = create_object();
    g_trxCalls = 0;
    OnTrxComplete(on_trx_a);
    EXPECT_EQ(ecr->Fire_OnTrxComplete(33), 0);
    EXPECT_EQ(g_lastResult, 33u);
    EXPECT_EQ(OnTRX(), 33);
    OnMsgReceived(on_msg);
    EXPECT_EQ(ecr->Fire_OnMsgReceived("PIN OK"), 0);
    EXPECT_EQ(g_lastText, "PIN OK");

    // With the slots cleared the completion still sets the state word.
    OnTrxComplete(nullptr);
    OnMsgReceived(nullptr);
    EXPECT_EQ(ecr->Fire_OnTrxComplete(20), 1);
    EXPECT_EQ(ecr->Fire_OnMsgReceived("X"), 1);
    EXPECT_EQ(OnTRX(), 20);
    EXPECT_EQ(g_trxCalls, 1);
    EXPECT_EQ(g_lastText, "PIN OK");
}

TEST_F(EcrLifecycle, StateWord)
{
    CVarkoClass2017* ecr = create_object();
    EXPECT_EQ(OnTRX(), 0);
    ecr->m_State = 1;
    EXPECT_EQ(OnTRX(), 1);
    ecr->m_State = 20;
    EXPECT_EQ(OnTRX(), 20);
}

TEST_F(EcrLifecycle, LoggingSwitch)
{
    short on = 7;
    EXPECT_EQ(get_EcrLoging(nullptr), -1);
    EXPECT_EQ(put_EcrLogging(0), 0);
    ASSERT_EQ(get_EcrLoging(&on), 0);
    EXPECT_EQ(on, 0);
    EXPECT_FALSE(el::get_logging());
    EXPECT_EQ(put_EcrLogging(2), 0);
    get_EcrLoging(&on);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(put_EcrLogingPath(nullptr), 1);
}

TEST_F(EcrLifecycle, ConstructorBannerLandsInTheCurrentDirectory)
{
    TempDir temp;
    const std::string& dir = temp.path;
    ASSERT_FALSE(dir.empty());
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    destroy_object(create_object());
    testing::internal::CaptureStdout();
    create_object();
    const std::string out = testing::internal::GetCapturedStdout();
    put_EcrLogging(0);  // closes the file after its queue is written
    put_EcrLogging(1);  // composed while logging is still off: dropped
    put_EcrLogging(0);
    ASSERT_EQ(chdir(old), 0);

    EXPECT_NE(out.find("configure File\n"), std::string::npos);
    EXPECT_NE(out.find("configure File done\n"), std::string::npos);
    const std::string log = support::read_file(dir + "/" + todays_log_name());
    EXPECT_NE(log.find(" [LOG_INFO>  ] [FinalConstruct:"), std::string::npos) << log;
    EXPECT_NE(log.find("] ####  Creating COM-Object  ####\n"), std::string::npos);
    EXPECT_NE(log.find("] Varko2017 K550: DLL Version - 1.0.1.0\n"), std::string::npos);
    EXPECT_NE(log.find("] Version ["), std::string::npos);
    EXPECT_NE(log.find(" [LOG_TRACE> ] CVarkoClass2017 EMPTY callback function\n"), std::string::npos);
    const size_t off = log.find("] Loging Status OFF\n");
    ASSERT_NE(off, std::string::npos);
    EXPECT_NE(log.find("] Loging Status OFF\n", off + 1), std::string::npos);
    EXPECT_EQ(log.find("Loging Status ON"), std::string::npos);
}

TEST_F(EcrLifecycle, LogPathOpensTheDatedFileThere)
{
    TempDir temp;
    const std::string& dir = temp.path;
    ASSERT_FALSE(dir.empty());
    CVarkoClass2017* ecr = create_object();
    testing::internal::CaptureStdout();
    EXPECT_EQ(put_EcrLogingPath(dir.c_str()), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(dir + "\n"), std::string::npos) << out;

    ecr->FinalConstruct();  // the banner again, now into the new file
    put_EcrLogging(0);
    const std::string log = support::read_file(dir + "/" + todays_log_name());
    EXPECT_NE(log.find("] ####  Creating COM-Object  ####\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] Varko2017 K550: DLL Version - 1.0.1.0\n"), std::string::npos);
    EXPECT_NE(log.find("] Loging Status OFF\n"), std::string::npos);

    // A directory that does not exist still answers 0.
    EXPECT_EQ(put_EcrLogingPath((dir + "/missing/deeper").c_str()), 0);
}

}  // namespace
