/*
 * pages_fuzz.cpp - libFuzzer target over the status, log and diagnostics
 * handlers: any query string and form body, either method, any UPS family,
 * against empty record databases in a scratch app directory and the fake
 * runtime's settings and signals. A handler must answer or stay silent, never
 * crash, and write nothing outside data/.
 *
 * Input: byte 0 picks the handler, byte 1 the method (bit 0) and "ups_type"
 * (the rest); then the query string, a newline, and the body.
 */
#include "pages.hpp"

#include "fake_runtime.hpp"
#include "scratch.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace
{

using web::Handler;

// Every handler but the port-log archive, which runs tar.
const Handler kHandlers[] = {
    web::ups_deviceid,         web::ups_thsstatus,    web::ups_getmodulenum,
    web::ups_IdentifyProgress, web::ups_smsstatus,    web::ups_emailtestresult,
    web::ups_smstestresult,    web::ups_currentalarm, web::ups_aboutinfo,
    web::ups_historyalarm,     web::ups_upsdatalog,   web::ups_upsbattestlog,
    web::ups_smslog,           web::ups_emaillog,     web::ups_upsdatachart,
    web::ups_savelog,          web::ups_clearlog,     web::ups_issavelog,
    web::ups_AutoDebugPrint,   web::ups_debugportlog, web::ups_printPortlog,
    web::ups_energychart,
};

card::FakeRuntime& setUp()
{
    static card::FakeRuntime rt;
    static bool done = false;
    if (done) return rt;
    done = true;
    const std::string scratch = fuzzScratchDir("pages-fuzz");
    const char* dir = scratch.c_str();
    setenv("CARDMON_APP_DIR", dir, 1);
    mkdir((std::string(dir) + "/data").c_str(), 0755);
    mkdir((std::string(dir) + "/config").c_str(), 0755);
    static card::ScopedRuntime use(rt);
    rt.set("curr_alarm_id", "1,8,25,5,300,x");
    rt.set("curr_alarm_num", 9);
    return rt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    card::FakeRuntime& rt = setUp();
    if (size < 2) return 0;
    const Handler handler = kHandlers[data[0] % std::size(kHandlers)];
    rt.clearRecords(); // logs and events of earlier inputs
    rt.set("ups_type", (data[1] >> 1) % 12);
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const size_t nl = rest.find('\n');
    web::Request req;
    req.method = (data[1] & 1) ? "POST" : "GET";
    req.query = rest.substr(0, nl);
    req.body = nl == std::string::npos ? std::string() : rest.substr(nl + 1);
    web::Reply reply;
    handler(req, reply);
    return 0;
}
