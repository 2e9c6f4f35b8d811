/*
 * firmware_test.cpp - the firmware pages' own rules over the fake runtime:
 * the uploaded file's base name, the update list, the progress sequence and
 * the reboot after it, the FTP settings page's checks. The upload itself and
 * the update server path run in tests/integration/test_firmware.py against
 * the real server, lftp and an FTP server.
 */
#include "pages.hpp"
#include "pages_settings.hpp"
#include "settings_page.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace web
{
namespace
{

namespace fs = std::filesystem;
namespace sp = settings;

std::atomic<int> g_reboots{0};

class FirmwarePages : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        root_ = fs::temp_directory_path() / ("firmware-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "app/Update");
        ::setenv("CARDMON_APP_DIR", (root_ / "app").c_str(), 1);
        sp::rebootAction() = [] { ++g_reboots; };
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }

    pages::Json call(Handler fn, const std::string& method = "GET", const std::string& body = "")
    {
        Request req;
        req.method = method;
        req.body = body;
        req.level = kAdministrator;
        reply = Reply{};
        fn(req, reply);
        return pages::Json(cJSON_Parse(reply.body.c_str()), cJSON_Delete);
    }

    static inline fs::path root_;
    card::FakeRuntime rt;
    card::ScopedRuntime use{rt};
    Reply reply;
};

TEST(FirmwareRules, UploadedNamesKeepTheirBaseNameOnly)
{
    EXPECT_EQ(pages::uploadBaseName("C:\\fakepath\\Torvix.tar.gz"), "Torvix.tar.gz");
    EXPECT_EQ(pages::uploadBaseName("../../etc/Torvix.tar.gz"), "Torvix.tar.gz");
    EXPECT_EQ(pages::uploadBaseName("dir/.."), "");
    EXPECT_EQ(pages::uploadBaseName("."), "");
    EXPECT_EQ(pages::uploadBaseName(""), "");
    EXPECT_EQ(pages::uploadBaseName("Torvix\n.tar.gz"), "");
    EXPECT_EQ(pages::uploadBaseName(std::string(101, 'a')), "");
}

TEST(FirmwareRules, PackageNamesAreTorvixArchives)
{
    EXPECT_TRUE(pages::packageFileName("Torvix.tar.gz"));
    EXPECT_TRUE(pages::packageFileName("Torvix.tar"));
    EXPECT_TRUE(pages::packageFileName("Torvix_HW305KQM01.tar.gz"));
    EXPECT_FALSE(pages::packageFileName("firmware.bin"));
    EXPECT_FALSE(pages::packageFileName("Torvix_.tar.gz"));
    EXPECT_FALSE(pages::packageFileName("Torvix_HW305KQM01.zip"));
    EXPECT_FALSE(pages::packageFileName("torvix.tar.gz"));
}

TEST(FirmwareRules, SizesAreListedInMebibytes)
{
    EXPECT_EQ(pages::updateSizeText(3 * 1048576LL), "3.00 M");
    EXPECT_EQ(pages::updateSizeText(1572864), "1.50 M");
    EXPECT_EQ(pages::updateSizeText(0), "");
}

TEST_F(FirmwarePages, UpdateListShowsTheAcceptedPackage)
{
    rt.set("update_version", "FW02K14");
    rt.set("update_size", std::to_string(3 * 1048576));
    auto doc = call(ups_updatelist);
    const cJSON* row = cJSON_GetArrayItem(cJSON_GetObjectItem(doc.get(), "data"), 0);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItem(row, "cur_version")->valuestring, "FW02K13");
    EXPECT_STREQ(cJSON_GetObjectItem(row, "update_version")->valuestring, "FW02K14");
    EXPECT_STREQ(cJSON_GetObjectItem(row, "update_size")->valuestring, "3.00 M");
}

TEST_F(FirmwarePages, ProgressCountsTenStepsFromTheListThenReboots)
{
    call(ups_updatelist);
    const int before = g_reboots;
    std::vector<int> seen;
    for (int i = 0; i < 10; ++i)
        seen.push_back(cJSON_GetObjectItem(call(ups_updateprogress).get(), "progress")->valueint);
    EXPECT_EQ(seen, (std::vector<int>{10, 20, 30, 44, 55, 66, 77, 85, 95, 100}));
    for (int i = 0; i < 60 && g_reboots == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_reboots, before + 1);
    // Reading on does not reboot again; the list starts the count anew.
    EXPECT_EQ(cJSON_GetObjectItem(call(ups_updateprogress).get(), "progress")->valueint, 100);
    call(ups_updatelist);
    EXPECT_EQ(cJSON_GetObjectItem(call(ups_updateprogress).get(), "progress")->valueint, 10);
}

TEST_F(FirmwarePages, FtpSettingsRefuseAServerThatIsNoHostName)
{
    auto ok = call(ups_ftpupdate, "POST", "ftp_server=127.0.0.1&ftp_port=2121&ftp_user=fw");
    EXPECT_STREQ(cJSON_GetObjectItem(ok.get(), "result")->valuestring, "ok");
    EXPECT_EQ(rt.text("ftp_server"), "127.0.0.1");
    EXPECT_EQ(rt.integer("ftp_port"), 2121);
    for (const char* bad : {"ftp_server=a%3Breboot", "ftp_server=-oProxy", "ftp_port=70000"}) {
        auto doc = call(ups_ftpupdate, "POST", bad);
        EXPECT_STREQ(cJSON_GetObjectItem(doc.get(), "result")->valuestring, "fail") << bad;
    }
    EXPECT_EQ(rt.text("ftp_server"), "127.0.0.1");
}

TEST_F(FirmwarePages, UploadWithoutABodyIsNoFileAndEmptiesTheDirectory)
{
    std::ofstream(root_ / "app/Update/leftover") << "x";
    call(ups_update, "POST");
    EXPECT_NE(reply.body.find("result=4"), std::string::npos);
    bool cookie = false;
    for (const auto& [name, value] : reply.headers)
        cookie = cookie || (name == "Set-Cookie" && value == "UpdateFlag=1");
    EXPECT_TRUE(cookie);
    EXPECT_TRUE(fs::is_empty(root_ / "app/Update"));
}

} // namespace
} // namespace web
