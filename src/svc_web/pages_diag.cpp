/*
 * pages_diag.cpp - serial-port diagnostics: the traffic-log switch, the
 * automatic debug print switch, the port-log archive, the port-log viewer and
 * the port console.
 *
 * The console sends a line typed in the page to the UPS port (1) or the sensor
 * port (3) through the runtime's port console queue, or hands it to the SMS
 * task for the modem port (7), which talks to the modem and writes both sides
 * into the transcript; the page then polls until the answer came or
 * eight polls passed, and is shown the transcript data/send_data.txt. Every
 * file name here is built from a fixed table and a port number, so a request
 * never names a path.
 */
#include "pages.hpp"

#include "card_runtime.hpp"
#include "fieldcore.h"
#include "platform.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <mutex>
#include <unistd.h>

namespace web
{

namespace pages
{

std::string asciiTo16(std::string_view text)
{
    std::string out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\r' || c == '\n') continue;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return {};
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0 ? out : std::string();
}

std::string transcriptLine(bool receive, bool hex, std::string_view bytes, long long epochMs)
{
    const time_t t = static_cast<time_t>(epochMs / 1000);
    struct tm tmv {
    };
    localtime_r(&t, &tmv);
    char head[64];
    std::snprintf(head, sizeof head, "%s%04d-%02d-%02d %02d:%02d:%02d:%03hu ",
                  receive ? "recv:" : "send:", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                  tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<unsigned short>(epochMs % 1000));
    std::string line = head;
    if (hex) {
        line += ' ';
        for (unsigned char b : bytes) {
            char h[4];
            std::snprintf(h, sizeof h, "%02x ", b);
            line += h;
        }
    } else {
        line.append(bytes);
    }
    return line + "\r\n";
}

} // namespace pages

namespace
{

constexpr int kTracePorts[] = {card::kUpsPort, card::kSensorPort, card::kModemPort};
constexpr size_t kConsoleBytes = 300;
constexpr int kConsolePolls = 8;
constexpr size_t kConsoleLines = 5;
constexpr size_t kPortLogLines = 20;
constexpr size_t kLineBytes = 300;
constexpr const char* kTranscript = "data/send_data.txt";

// The port behind each "porttype" of the pages, and the copy its viewer shows.
struct PortType {
    int port;
    const char* copy;
};
constexpr PortType kPortTypes[] = {{card::kUpsPort, "data/ups_port.log"},
                                   {card::kModemPort, "data/sms_port.log"},
                                   {card::kSensorPort, "data/ths_port.log"}};

const PortType* portType(int porttype)
{
    return porttype >= 0 && porttype < int(std::size(kPortTypes)) ? &kPortTypes[porttype] : nullptr;
}

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Up to `max` lines (each cut to kLineBytes) of a file, without line ends.
std::vector<std::string> fileLines(const std::string& path, size_t max)
{
    std::vector<std::string> lines;
    std::string text;
    if (!platform::readFile(path, text, 1 << 20)) return lines;
    size_t pos = 0;
    while (pos < text.size() && lines.size() < max) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kLineBytes) line.resize(kLineBytes);
        lines.push_back(std::move(line));
        pos = nl + 1;
    }
    return lines;
}

void sendLines(Reply& reply, const std::vector<std::string>& lines)
{
    pages::Json doc = pages::newObject();
    cJSON_AddNumberToObject(doc.get(), "totalnum", static_cast<double>(lines.size()));
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    for (const auto& l : lines)
        cJSON_AddItemToArray(list, cJSON_CreateString(l.c_str()));
    sendResult(reply, doc.get());
}

// Names in data/ that are a port's logs: "<port>...log" ("1_HEX.log").
std::vector<std::string> portLogNames(int port)
{
    std::vector<std::string> names;
    const std::string prefix = std::to_string(port);
    DIR* dir = ::opendir(platform::appPath("data").c_str());
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - 4, 4, ".log") == 0)
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

void writeTranscript(bool receive, bool hex, std::string_view bytes)
{
    platform::writeFile(platform::appPath(kTranscript),
                        pages::transcriptLine(receive, hex, bytes, nowMs()), receive);
}

// The SMS task rewrites the transcript with the line it sent and appends the
// modem's answer: a "recv:" line means the exchange is over.
bool modemAnswered()
{
    std::string text;
    return platform::readFile(platform::appPath(kTranscript), text, 1 << 16) &&
           text.find("\nrecv:") != std::string::npos;
}

// Poll state of the console, one browser at a time.
struct Console {
    std::mutex m;
    bool seen = false;
    int polls = 0;
};
Console& console()
{
    static Console c;
    return c;
}

void consoleSend(const Request& req, Reply& reply)
{
    const int coding = pages::fieldInt(req.bodyField("coding"));
    const int porttype = pages::fieldInt(req.bodyField("porttype"));
    const std::string text = req.bodyField("senddata", kConsoleBytes + 1).value_or("");
    const PortType* pt = portType(porttype);
    if (!pt) {
        resultOk(reply, 0, "unknown port");
        return;
    }
    const bool hex = coding != 0;
    const std::string bytes = hex ? pages::asciiTo16(text) : text;
    const int code = 100 * porttype + 10 * coding;
    writeTranscript(false, hex, bytes);
    if (pt->port == card::kModemPort)
        card::rt().post(card::channel::kSmsStart,
                        hex ? card::event::kModemConsoleRead : card::event::kModemConsoleSend);
    else if (!bytes.empty())
        PushContorlCmd(pt->port, code, bytes.data(), static_cast<int>(bytes.size()));
    {
        std::lock_guard lock(console().m);
        console().seen = false;
        console().polls = 0;
    }
    resultOk(reply, 1);
}

void consolePoll(const Request& req, Reply& reply)
{
    const int coding = pages::fieldInt(req.queryField("coding"));
    const int porttype = pages::fieldInt(req.queryField("porttype"));
    const PortType* pt = portType(porttype);
    const int code = 100 * porttype + 10 * coding;
    Console& c = console();
    std::unique_lock lock(c.m);
    ++c.polls;
    int result = 0;
    char buf[kConsoleBytes];
    if (!c.seen && pt && pt->port != card::kModemPort)
        result = PullControlCmd(pt->port, code, buf, sizeof buf);
    else if (!c.seen && pt && modemAnswered())
        c.seen = true;
    card::rt().log("read_result:e" + std::to_string(result) + ",read_count:" +
                   std::to_string(c.polls) + ",len:" + std::to_string(result > 0 ? result : 0));
    if (result == -2) {
        lock.unlock();
        sendLines(reply, {"Failed to send data"});
        return;
    }
    if (result > 0) {
        writeTranscript(true, coding != 0, std::string_view(buf, static_cast<size_t>(result)));
        c.seen = true;
        lock.unlock();
        sendLines(reply, {}); // received: shown with the transcript at the next poll
        return;
    }
    if (c.seen || c.polls >= kConsolePolls) {
        c.seen = false;
        c.polls = 0;
        lock.unlock();
        sendLines(reply, fileLines(platform::appPath(kTranscript), kConsoleLines));
        return;
    }
    lock.unlock();
    sendLines(reply, {});
}

} // namespace

void ups_issavelog(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        pages::Json doc = pages::newObject();
        cJSON_AddNumberToObject(doc.get(), "is_save_log", card::rt().integer("enable_debug", 0));
        sendResult(reply, doc.get());
        return;
    }
    // The pages send the switch in the query string.
    auto v = req.queryField("is_save_log");
    if (!v) v = req.bodyField("is_save_log");
    if (v) {
        int on = std::atoi(v->c_str());
        card::rt().saveInt("enable_debug", on);
        for (int port : kTracePorts)
            CommControl(getPortHandle(port), COMM_CTL_TRACE, &on, 0);
    }
    resultOk(reply, 1);
}

void ups_AutoDebugPrint(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        pages::Json doc = pages::newObject();
        cJSON_AddNumberToObject(doc.get(), "auto_uart_debug",
                                card::rt().integer("auto_uart_debug", 0));
        sendResult(reply, doc.get());
        return;
    }
    if (auto v = req.bodyField("auto_uart_debug")) {
        const int on = std::atoi(v->c_str());
        card::rt().saveInt("auto_uart_debug", on);
        card::rt().log("auto_uart_debug : " + std::to_string(on));
    }
    resultOk(reply, 1);
}

void ups_saveportlog(const Request&, Reply& reply)
{
    const std::string archive = "data/download.tar.gz";
    ::unlink(platform::appPath(archive).c_str());
    std::vector<std::string> argv = {"tar", "-zcf", platform::appPath(archive), "-C",
                                     platform::appDir()};
    size_t files = 0;
    for (int port : kTracePorts)
        for (const auto& name : portLogNames(port)) {
            argv.push_back("data/" + name);
            ++files;
        }
    if (files > 0) platform::runArgv(argv);
    if (serveDownload(reply, archive, "download.tar.gz")) return;
    resultOk(reply, 1);
    reply.header("Content-Type", "text/js");
    reply.header("Set-Cookie", "downFlag=2");
}

void ups_debugportlog(const Request& req, Reply& reply)
{
    if (req.isPost()) { // the page only selects; the read does the work
        resultOk(reply, 1);
        return;
    }
    const int coding = pages::fieldInt(req.queryField("coding"));
    const PortType* pt = portType(pages::fieldInt(req.queryField("porttype")));
    std::vector<std::string> lines;
    bool copied = false;
    if (pt) {
        const std::string log =
            "data/" + std::to_string(pt->port) + (coding == 0 ? "_ASCII.log" : "_HEX.log");
        std::string text;
        if (platform::readFile(platform::appPath(log), text, 1 << 20) &&
            platform::writeFile(platform::appPath(pt->copy), text)) {
            lines = fileLines(platform::appPath(pt->copy), kPortLogLines);
            copied = true;
        }
        for (const auto& name : portLogNames(pt->port))
            ::unlink(platform::appPath("data/" + name).c_str());
    }
    if (copied) {
        sendLines(reply, lines);
        return;
    }
    pages::Json doc = pages::newObject();
    cJSON_AddArrayToObject(doc.get(), "data");
    sendResult(reply, doc.get());
}

void ups_printPortlog(const Request& req, Reply& reply)
{
    if (req.isPost())
        consoleSend(req, reply);
    else
        consolePoll(req, reply);
}

} // namespace web
