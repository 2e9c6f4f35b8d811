/*
 * settings_fuzz.cpp - libFuzzer target over the settings pages: any form
 * body or multipart upload, either method, against the fake runtime in a
 * scratch app directory and system root. A page must answer, never crash,
 * and write nothing but its own files. Pages that run a program against a
 * request value (the time server) or call the card's own server are left out;
 * the reboot after a network change is a no-op here.
 *
 * Input: byte 0 picks the handler, byte 1 the method (bit 0), whether the
 * body is a multipart upload (bit 1) and the level (bits 2-3); then the body.
 */
#include "pages_settings.hpp"

#include "fake_runtime.hpp"
#include "scratch.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace
{

using web::Handler;

const Handler kHandlers[] = {
    web::ups_upsparam,        web::ups_remotecontrol, web::ups_thssettings,
    web::ups_upssche,         web::ups_batparam,      web::ups_constantpower,
    web::ups_upswakeup,       web::ups_cfgdeviceleft, web::ups_bmsparam,
    web::ups_systemcom,       web::ups_systeminfo,    web::ups_systemlan,
    web::ups_autoupdatetime,  web::ups_timezone,      web::ups_manualupdatetime,
    web::ups_restartsys,      web::ups_setsnnum,      web::ups_setmacaddr,
    web::ups_debugselectlogo, web::ups_changelogo,    web::ups_networkinfo,
    web::ups_network6info,    web::ups_ddnsinfo,
};

card::FakeRuntime& setUp()
{
    static card::FakeRuntime rt;
    static bool done = false;
    if (done) return rt;
    done = true;
    const std::string root = fuzzScratchDir("settings-fuzz");
    for (const char* d : {"/app", "/app/config", "/app/www", "/app/www/image", "/sys", "/sys/etc",
                          "/sys/etc/network", "/sys/root", "/sys/root/etc"})
        mkdir((root + d).c_str(), 0755);
    setenv("CARDMON_APP_DIR", (root + "/app").c_str(), 1);
    setenv("CARDMON_SYSROOT", (root + "/sys").c_str(), 1);
    web::settings::rebootAction() = [] {};
    static card::ScopedRuntime use(rt);
    return rt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    card::FakeRuntime& rt = setUp();
    if (size < 2) return 0;
    const Handler handler = kHandlers[data[0] % std::size(kHandlers)];
    rt.clearRecords();
    web::Request req;
    req.method = (data[1] & 1) ? "POST" : "GET";
    if (data[1] & 2) req.contentType = "multipart/form-data; boundary=fz";
    req.level = (data[1] >> 2) & 3;
    req.address = "192.0.2.1";
    req.body.assign(reinterpret_cast<const char*>(data + 2), size - 2);
    web::Reply reply;
    handler(req, reply);
    return 0;
}
