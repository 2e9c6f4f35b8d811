/*
 * commands.cpp - the platform's commands. A command message is the head (its
 * MD5 check must match) and items of tag, one length byte and value; the
 * first item's tag names the command and its value holds the command's own
 * items, found by tag wherever they stand (a serial-number item may come
 * first):
 *
 *   18 data request   'J' data type: 0 data, all alarms and device; 1 all
 *                     alarms; 2 data; 3 device; 4 serial line; 5 system;
 *                     99 the program ends (the launcher starts it again)
 *   19 time check     'e' time zone in minutes (16-bit), 480 without it
 *   25 connect info   'D' serial text holding the collector number, 'M' state
 *   20 update order   'N' package, 'P' "host:port", optionally 'R' count and
 *                     '0' items of up to three digits (other devices)
 *   33 serial line    'f' line speed code, or 'j' holding '0' channel,
 *                     'q' address, 'k' protocol number
 *   26 pass-through   '^' message id (4 bytes), '`' log type: log upload
 */
#include "codec.hpp"
#include "reports.hpp"
#include "session.hpp"

#include <cctype>
#include <string>

namespace cloud
{

namespace
{

const char* const kWho = "[svc_cloud] ";

namespace ctag
{
constexpr std::uint8_t kDataRequest = 18, kTimeCheck = 19, kUpdate = 20, kConnectInfo = 25,
                       kPassThrough = 26, kLine = 33;
constexpr std::uint8_t kDevice = 48, kSerialText = 68, kDataType = 74, kState = 77, kPackage = 78,
                       kUrl = 80, kDevices = 82, kMessageId = 94, kData = 96, kTimezone = 101,
                       kBaud = 102, kProtocol = 107, kProtocolSet = 106, kAddress = 113;
} // namespace ctag

constexpr int kRestartProcess = 99;
constexpr int kMaxDevices = 5;
constexpr int kMaxUpsAddress = 247;

// The first run of digits in text, as a number (0 when none).
long numberIn(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && !std::isdigit(static_cast<unsigned char>(text[at])))
        ++at;
    long v = 0;
    for (std::size_t n = 0;
         at < text.size() && n < 9 && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++n)
        v = v * 10 + (text[at] - '0');
    return v;
}

// ups_type of a protocol number; -1 for a number the card has no driver for.
int upsTypeOfProtocol(int pro)
{
    switch (pro) {
    case 1:
        return 0;
    case 19:
    case 20:
        return 5;
    case 21:
        return 2;
    case 22:
    case 23:
        return 1;
    case 25:
        return 4;
    default:
        return -1;
    }
}

// "host:port": a host of letters, digits, '.', '-' and a port 1..65535.
bool urlOk(std::string_view url)
{
    const std::size_t colon = url.rfind(':');
    if (colon == 0 || colon == std::string_view::npos || url.size() > 63) return false;
    for (char c : url.substr(0, colon))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    const std::string_view port = url.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const long p = numberIn(port);
    return p >= 1 && p <= 65535;
}

std::string text(const Short* s)
{
    if (!s) return {};
    std::string_view v = s->value;
    return std::string(v.substr(0, v.find('\0')));
}

} // namespace

void Session::message(std::string_view topic, std::string_view payload)
{
    rt_.log("MQTT:MG_EV_MQTT_PUBLISH:" + std::string(topic.substr(0, 128)));
    if (topic.substr(0, std::char_traits<char>::length(kCommandPrefix)) != kCommandPrefix) return;
    const Received r = check(payload);
    if (r.verdict == Verdict::BadMac) {
        rt_.log(std::string(kWho) + "mac err");
        return;
    }
    if (r.verdict != Verdict::Ok) return; // oversized or inconsistent: ignored
    command(r.body);
}

void Session::command(std::string_view body)
{
    const std::vector<Short> items = shortItems(body);
    if (items.empty()) return;
    const Short& first = items.front();
    switch (first.tag) {
    case ctag::kDataRequest: {
        const std::vector<Short> inner = shortItems(first.value);
        if (const Short* t = find(inner, ctag::kDataType)) dataRequest(int(readBe(t->value)));
        break;
    }
    case ctag::kTimeCheck:
        timeCheck(first.value);
        break;
    case ctag::kConnectInfo:
        connectInfo(first.value);
        break;
    case ctag::kUpdate:
        updateOrder(first.value);
        break;
    case ctag::kLine:
        lineChange(first.value);
        break;
    case ctag::kPassThrough:
        passThrough(first.value);
        break;
    default:
        break;
    }
}

void Session::dataRequest(int type)
{
    rt_.log(std::string(kWho) + "Recv cmd dataType:" + std::to_string(type));
    switch (type) {
    case 0:
        sendData();
        sendAllAlarms();
        sendDevice();
        break;
    case 1:
        sendAllAlarms();
        break;
    case 2:
        sendData();
        break;
    case 3:
        sendDevice();
        break;
    case 4:
        sendSerial();
        break;
    case 5:
        sendSystem();
        break;
    case kRestartProcess:
        rt_.log(std::string(kWho) + "Sys Reboot");
        rt_.exitProcess(0);
        break;
    default:
        break;
    }
}

void Session::timeCheck(std::string_view body)
{
    const std::vector<Short> items = shortItems(body);
    int tz = kDefaultTimezone;
    if (const Short* e = find(items, ctag::kTimezone); e && e->value.size() == 2)
        tz = std::int16_t(readBe(e->value));
    rt_.log(std::string(kWho) + "It is time to check time,timezone:" + std::to_string(tz));
    rt_.saveInt("cloudTimezone", tz);
    rt_.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 1);
}

void Session::connectInfo(std::string_view body)
{
    const std::vector<Short> items = shortItems(body);
    const long id = numberIn(text(find(items, ctag::kSerialText)));
    const Short* state = find(items, ctag::kState);
    rt_.log(std::string(kWho) + "connect info id[" + std::to_string(id) + "],state[" +
            std::to_string(state ? readBe(state->value) : 0) + "]");
    if (id != rt_.integer("collector_id", 1)) {
        rt_.saveInt("collector_id", int(id));
        identityReports();
    }
    rt_.saveInt("collector_id", int(id));
}

void Session::updateOrder(std::string_view body)
{
    const std::vector<Short> items = shortItems(body);
    Order o;
    o.name = text(find(items, ctag::kPackage));
    o.url = text(find(items, ctag::kUrl));
    rt_.log(std::string(kWho) + "get update pack name[" + o.name.substr(0, 63) + "] url[" +
            o.url.substr(0, 63) + "]");
    int devices = 0;
    bool afterCount = false;
    for (const Short& s : items) {
        if (s.tag == ctag::kDevices) afterCount = true;
        if (afterCount && s.tag == ctag::kDevice && devices < kMaxDevices && s.value.size() <= 3)
            o.who[size_t(devices++)] = std::uint8_t(numberIn(s.value));
    }
    if (!packageNameOk(o.name) || !urlOk(o.url)) {
        rt_.log(std::string(kWho) + "update order refused: bad package name or address");
        report(updateResultReport(rt_, o.name.substr(0, 63), kFailed, ustatus::kDownloadFailed));
        return;
    }
    if (devices == 0) {
        rt_.log(std::string(kWho) + "Now update monitor");
        o.who.fill(0xFF);
        o.updateWho = 0;
        updates_.push(o);
        return;
    }
    rt_.log(std::string(kWho) + "Now update device,num:" + std::to_string(devices));
    report(updateResultReport(rt_, o.name, kFailed, ustatus::kUpdateFailed));
}

void Session::lineChange(std::string_view body)
{
    const std::vector<Short> items = shortItems(body);
    if (const Short* f = find(items, ctag::kBaud)) {
        const int code = int(readBe(f->value));
        rt_.log(std::string(kWho) + "change baudrate:" + std::to_string(code));
        if (const int baud = baudOf(code); baud > 0) rt_.saveInt("ups_baudRate", baud);
        return;
    }
    const Short* j = find(items, ctag::kProtocolSet);
    if (!j) return;
    const std::vector<Short> set = shortItems(j->value);
    const Short* ch = find(set, ctag::kDevice);
    const Short* addr = find(set, ctag::kAddress);
    const Short* pro = find(set, ctag::kProtocol);
    const int channel = ch ? int(readBe(ch->value)) : 0;
    const int address = addr ? int(readBe(addr->value)) : 0;
    const int protocol = pro ? int(readBe(pro->value)) : 0;
    rt_.log(std::string(kWho) + "change pro,id:" + std::to_string(channel) +
            ",start_addr:" + std::to_string(address) + ",pro_no:" + std::to_string(protocol));
    const int type = upsTypeOfProtocol(protocol);
    if (type < 0) return;
    if (rt_.integer("ups_type", 0) != type) rt_.saveInt("ups_type", type);
    if (addr && address >= 1 && address <= kMaxUpsAddress && rt_.integer("ups_addr", 1) != address)
        rt_.saveInt("ups_addr", address);
}

void Session::passThrough(std::string_view body)
{
    const std::vector<Short> items = shortItems(body);
    const Short* id = find(items, ctag::kMessageId);
    const Short* data = find(items, ctag::kData);
    const std::uint32_t messageId = id ? readBe(id->value) : 0;
    int type = -1;
    if (data && data->value.size() == 1) {
        const unsigned char c = static_cast<unsigned char>(data->value[0]);
        type = c <= 2 ? c : (c >= '0' && c <= '2' ? c - '0' : -1);
    }
    rt_.log(std::string(kWho) + "tran,start to get log,type:" + std::to_string(type));
    int result = -1;
    if (type >= 0 && hooks_.uploadLog) result = hooks_.uploadLog(type);
    rt_.log(std::string(kWho) + "tran cmd result:" + std::to_string(result));
    report(passThroughAnswer(rt_, messageId, result));
}

} // namespace cloud
