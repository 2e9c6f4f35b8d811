/*
 * pages_firmware.cpp - the firmware update pages: the browser upload
 * ("/update"), the fetch from the update server over FTP
 * ("/LocateOrOnlineUpdate" type 1), the FTP settings ("/FtpUpdate"), the
 * update list and the progress page that reboots the card.
 *
 * An upload is written to its file as it arrives (libmicrohttpd's POST
 * processor hands the multipart body over in pieces), so the card's memory
 * stays flat whatever the package's size; only the base name of the file the
 * browser names is used. Both paths end in the package check shared with
 * the cloud's update channel (fwpkg): "/root/app/Update/" then holds the
 * accepted payload alone, which the launcher installs at the next start, or
 * nothing.
 *
 * Outcomes and their cookies: accepted UpdateFlag=2; no file, or (FTP) no
 * package from the server UpdateFlag=1; wrong file name, or a package that
 * is refused (members missing or unsafe, software version) UpdateFlag=3;
 * made for another hardware version UpdateFlag=4.
 */
#include "pages.hpp"
#include "pages_settings.hpp"
#include "settings_page.hpp"

#include "card_rules.hpp"
#include "package.hpp"
#include "platform.hpp"

#include <microhttpd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace web
{

namespace sp = settings;

namespace
{

constexpr const char* kUpdateDir = "/root/app/Update";
constexpr const char* kUploadPrefix = "Torvix.tar";
constexpr std::size_t kPostBuffer = 16 * 1024;
constexpr std::size_t kMaxName = 100;

// Upload result codes (errmsg "result=%d").
constexpr int kAccepted = 1, kHardware = 3, kNoFile = 4, kBadName = 5, kRefused = 6;

// Fetch outcomes of the update server path.
constexpr int kFetchAccepted = 1, kFetchSilent = 2, kFetchRefused = 3, kFetchHardware = 4;

// Built-in update server: an FTP server with a directory "update" holding
// the packages; the FTP page may name another.
constexpr const char* kDefaultFtpServer = "update.torvix-cloud.com";
constexpr const char* kDefaultFtpUser = "anonymous";
constexpr int kDefaultFtpPort = 21;

std::atomic<int> g_updateTiming{0};

std::string updateDir()
{
    return platform::appPath(kUpdateDir);
}

void answerUpdate(Reply& reply, int flag, int ok, std::string_view errmsg)
{
    resultOk(reply, ok, errmsg);
    reply.header("Content-Type", "text/js");
    reply.header("Set-Cookie", "UpdateFlag=" + std::to_string(flag));
}

// Logs the description lines of a checked package and stores the software
// version of an accepted one.
void noteConfig(const char* prefix, const fwpkg::Outcome& out, const char* hardware)
{
    card::Runtime& rt = card::rt();
    const fwpkg::Config& c = out.config;
    rt.log(std::string(prefix) + ":" + c.description);
    if (c.hasHardware) rt.log(std::string(prefix) + ":" + c.hardware + " HARDWARE_VER:" + hardware);
    if (c.hasSoftware)
        rt.log(std::string(prefix) + ":" + c.software + " SOFTWARE_VER:" + card::kFirmwareVersion);
    if (out.verdict != fwpkg::Verdict::Accepted)
        rt.log(std::string("package refused: ") + fwpkg::verdictText(out.verdict));
}

int uploadResult(fwpkg::Verdict v)
{
    switch (v) {
    case fwpkg::Verdict::Accepted:
        return kAccepted;
    case fwpkg::Verdict::Hardware:
        return kHardware;
    case fwpkg::Verdict::Missing:
        return kNoFile;
    default:
        return kRefused;
    }
}

int uploadCookie(int result)
{
    switch (result) {
    case kAccepted:
        return 2;
    case kHardware:
        return 4;
    case kNoFile:
        return 1;
    default:
        return 3;
    }
}

// ---- the streamed upload ----

class StreamedUpload : public FirmwareUpload
{
  public:
    StreamedUpload(MHD_Connection* conn)
    {
        fwpkg::emptyDir(updateDir());
        post_ = MHD_create_post_processor(conn, kPostBuffer, &StreamedUpload::iterate, this);
    }
    ~StreamedUpload() override
    {
        if (post_) MHD_destroy_post_processor(post_);
        closeFile();
        if (!finished_) fwpkg::emptyDir(updateDir()); // the connection dropped mid-upload
    }

    bool feed(const char* data, std::size_t size) override
    {
        if (!post_ || failed_) return !failed_;
        if (MHD_post_process(post_, data, size) != MHD_YES || failed_) {
            failed_ = true;
            closeFile();
            fwpkg::emptyDir(updateDir());
        }
        return !failed_;
    }

    void finish(const Request&, Reply& reply) override
    {
        finished_ = true;
        if (post_) MHD_destroy_post_processor(post_);
        post_ = nullptr;
        closeFile();
        card::Runtime& rt = card::rt();
        int result = kAccepted;
        if (name_.empty()) {
            result = kNoFile;
        } else if (!nameOk_) {
            result = kBadName;
        } else {
            rt.log("chunk_len is " + std::to_string(size_));
            const char* hw = card::hardwareVersion(rt);
            const fwpkg::Outcome out =
                fwpkg::check(updateDir() + "/" + name_, updateDir(), hw, card::kFirmwareVersion);
            noteConfig("update_infor", out, hw);
            result = uploadResult(out.verdict);
            if (result == kAccepted) {
                rt.save("update_version", out.config.software);
                rt.save("update_size", std::to_string(out.size));
            }
        }
        rt.log("result is " + std::to_string(result));
        if (result != kAccepted) fwpkg::emptyDir(updateDir());
        answerUpdate(reply, uploadCookie(result), result == kAccepted ? 1 : 0,
                     result == kAccepted ? "" : "result=" + std::to_string(result));
    }

  private:
    static MHD_Result iterate(void* cls, MHD_ValueKind, const char* key, const char* filename,
                              const char*, const char*, const char* data, uint64_t, size_t size)
    {
        auto* self = static_cast<StreamedUpload*>(cls);
        return self->piece(key ? key : "", filename, data, size) ? MHD_YES : MHD_NO;
    }

    bool piece(const std::string& key, const char* filename, const char* data, std::size_t size)
    {
        if (!filename) return true; // plain form fields
        if (!started_) {
            started_ = true;
            key_ = key;
            open(filename);
        } else if (key != key_ || done_) {
            done_ = true; // only the first file is taken
            return true;
        }
        if (fd_ < 0 || size == 0) return true;
        size_ += size;
        if (size_ > fwpkg::kMaxPackageBytes) {
            card::rt().log("upload refused: larger than " +
                           std::to_string(fwpkg::kMaxPackageBytes) + " bytes");
            failed_ = true;
            return false;
        }
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed_ = true;
                return false;
            }
            data += n;
            size -= std::size_t(n);
        }
        return true;
    }

    void open(const char* filename)
    {
        name_ = pages::uploadBaseName(filename);
        card::rt().log("filename : " + name_);
        nameOk_ = pages::packageFileName(name_);
        if (!nameOk_) return; // nothing of it is written
        const std::string path = updateDir() + "/" + name_;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    }

    void closeFile()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    MHD_PostProcessor* post_ = nullptr;
    std::string key_, name_;
    bool started_ = false, done_ = false, nameOk_ = false, failed_ = false, finished_ = false;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// ---- the update server path ----

std::string percentEncoded(std::string_view text)
{
    std::string out;
    char hex[4];
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += char(c);
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool ftpHost(std::string_view v);

// Fetches the card's package from the update server with lftp (no shell)
// and checks it.
int fetchFromServer()
{
    card::Runtime& rt = card::rt();
    const std::string dir = updateDir();
    fwpkg::emptyDir(dir);
    const std::string host = rt.text("ftp_server", kDefaultFtpServer);
    const int port =
        card::parseInt(rt.text("ftp_port", std::to_string(kDefaultFtpPort)), kDefaultFtpPort);
    if (!ftpHost(host) || port < 1 || port > 65535) {
        rt.log("LFTP: no usable update server address");
        return kFetchSilent;
    }
    for (char c : dir)
        if (c == '"' || c == '\\' || c < ' ') return kFetchSilent; // lftp's quoting
    const char* hw = card::hardwareVersion(rt);
    const std::string package = std::string("Torvix_") + hw + ".tar.gz";
    const std::string url = "ftp://" + percentEncoded(rt.text("ftp_user", kDefaultFtpUser)) + ":" +
                            percentEncoded(rt.text("ftp_pass")) + "@" + host + ":" +
                            std::to_string(port);
    const std::string script = "set net:timeout 10; set net:max-retries 2; "
                               "set net:reconnect-interval-base 5; "
                               "set net:reconnect-interval-multiplier 1; "
                               "open " +
                               url + "; cd update; lcd \"" + dir + "\"; get " + package;
    const int rc = platform::runArgv({"lftp", "-c", script});
    rt.log("LFTP: get " + package + " from " + host + ":" + std::to_string(port) + ", status " +
           std::to_string(rc));
    const std::string path = dir + "/" + package;
    if (!platform::fileExists(path)) {
        fwpkg::emptyDir(dir);
        return kFetchSilent;
    }
    const fwpkg::Outcome out = fwpkg::check(path, dir, hw, card::kFirmwareVersion);
    noteConfig("path", out, hw);
    switch (out.verdict) {
    case fwpkg::Verdict::Accepted:
        rt.save("update_version", out.config.software);
        rt.save("update_size", std::to_string(out.size));
        return kFetchAccepted;
    case fwpkg::Verdict::Hardware:
        return kFetchHardware;
    case fwpkg::Verdict::Missing:
        return kFetchSilent;
    default:
        return kFetchRefused;
    }
}

int fetchCookie(int outcome)
{
    switch (outcome) {
    case kFetchAccepted:
        return 2;
    case kFetchRefused:
        return 3;
    case kFetchHardware:
        return 4;
    default:
        return 1;
    }
}

// A host name or address that cannot be read as anything else.
bool ftpHost(std::string_view v)
{
    return !v.empty() && v.front() != '-' && sp::hostName(v);
}

const sp::Page kFtpPage({
    {"ftp_server", "ftp_server", sp::Text, kDefaultFtpServer, 0, ftpHost, {}, 64},
    {"ftp_port", "ftp_port", sp::Int, "21", 0, nullptr, sp::range(1, 65535)},
    {"ftp_user", "ftp_user", sp::Text, kDefaultFtpUser, 0, nullptr, {}, 64},
    {"ftp_pass", "ftp_pass", sp::Text, "", sp::kSecret, nullptr, {}, 64},
    {"ftp_period", "ftp_period", sp::Int, "0", 0, nullptr, sp::range(0, 365)},
    {"ftp_time", "ftp_time", sp::Text, "", 0, nullptr, {}, 20},
    {"type", "type", sp::Int, "0", 0, nullptr, sp::range(0, 2)},
    {"IsUpdateNo0", "IsUpdateNo0", sp::Int, "0", 0, nullptr, sp::range(0, 1)},
});

} // namespace

namespace pages
{

std::string uploadBaseName(std::string_view raw)
{
    const std::size_t slash = raw.find_last_of("/\\");
    if (slash != std::string_view::npos) raw.remove_prefix(slash + 1);
    if (raw.empty() || raw == "." || raw == ".." || raw.size() > kMaxName) return {};
    for (unsigned char c : raw)
        if (c < ' ' || c == 0x7f) return {};
    return std::string(raw);
}

bool packageFileName(std::string_view name)
{
    const std::string_view suffix = ".tar.gz";
    const bool named = name.size() > 7 + suffix.size() && name.substr(0, 7) == "Torvix_" &&
                       name.substr(name.size() - suffix.size()) == suffix;
    return name.substr(0, std::char_traits<char>::length(kUploadPrefix)) == kUploadPrefix || named;
}

int updateProgress(int t)
{
    if (t <= 3) return 10 * t;
    if (t <= 7) return 11 * t;
    if (t <= 9) return 10 * t + 5;
    return 100;
}

std::string updateSizeText(long long bytes)
{
    if (bytes <= 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.2f M", double(bytes) / 1048576.0);
    return text;
}

} // namespace pages

std::unique_ptr<FirmwareUpload> startFirmwareUpload(MHD_Connection* conn)
{
    platform::makeDirs(updateDir());
    return std::make_unique<StreamedUpload>(conn);
}

void ups_update(const Request&, Reply& reply)
{
    // A request without a body to stream: no file came.
    fwpkg::emptyDir(updateDir());
    answerUpdate(reply, uploadCookie(kNoFile), 0, "result=" + std::to_string(kNoFile));
}

void ups_locateoronlineupdate(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    const int type = pages::fieldInt(req.field("type"));
    rt.saveInt("FWUpdateType", type);
    rt.log("type : " + std::to_string(type));
    if (auto v = req.field("IsUpdateNo0")) rt.saveInt("IsNeedUpdate", pages::fieldInt(v));
    if (type == 0) rt.log("Location Update");
    if (type == 2) rt.log("Online Update");
    if (type != 1 || !req.isPost()) {
        resultOk(reply, 1);
        return;
    }
    const int outcome = fetchFromServer();
    rt.log("LFTP: outcome " + std::to_string(outcome));
    answerUpdate(reply, fetchCookie(outcome), 1, {});
}

void ups_ftpupdate(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kFtpPage.read(req).get());
        return;
    }
    const sp::Write w = kFtpPage.write(req);
    if (sp::refused(reply, w)) return;
    resultOk(reply, 1);
}

void ups_updatelist(const Request&, Reply& reply)
{
    card::Runtime& rt = card::rt();
    g_updateTiming = 0;
    auto doc = pages::newObject();
    cJSON_AddStringToObject(doc.get(), "totalnum", "1");
    cJSON* data = cJSON_AddArrayToObject(doc.get(), "data");
    cJSON* row = cJSON_CreateObject();
    cJSON_AddStringToObject(row, "sys_name", "SNMP");
    cJSON_AddStringToObject(row, "device", "0");
    cJSON_AddStringToObject(row, "Subdevice", "0");
    cJSON_AddStringToObject(row, "deviceNo", "1");
    cJSON_AddStringToObject(row, "status", "1");
    cJSON_AddStringToObject(row, "cur_version", card::kFirmwareVersion);
    cJSON_AddStringToObject(row, "update_version", rt.text("update_version").c_str());
    const long long size = std::atoll(rt.text("update_size", "0").c_str());
    cJSON_AddStringToObject(row, "update_size", pages::updateSizeText(size).c_str());
    cJSON_AddItemToArray(data, row);
    sendResult(reply, doc.get());
}

void ups_updateprogress(const Request&, Reply& reply)
{
    const int t = ++g_updateTiming;
    auto doc = pages::newObject();
    cJSON_AddNumberToObject(doc.get(), "progress", pages::updateProgress(t));
    sendResult(reply, doc.get());
    if (t == 10) {
        card::rt().log("update progress done: the card reboots");
        sp::afterAnswer(1000, sp::rebootCard);
    }
}

} // namespace web
