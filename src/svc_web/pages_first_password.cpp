/*
 * pages_first_password.cpp - the administrator's first password.
 *
 * Every card leaves the factory with the same administrator password. The
 * login gate (login.cpp) holds a session opened with it on one page until
 * this handler has taken a password of the administrator's own (the rules are
 * newPasswordProblem in access.cpp). The same change sets the runtime's own
 * account ("admin", made at start-up with the factory password) through
 * setPassed, so no login on the card keeps the factory value. The session
 * that made the change goes on (sessionAfterRequest); other sessions opened
 * with the factory password end at their next request. A factory reset
 * brings the factory value, and with it this step, back.
 */
#include "web.hpp"

#include "card_runtime.hpp"
#include "fieldcore.h"

namespace web
{

namespace
{

// Long enough to see a password that is too long instead of cutting it.
constexpr size_t kReadBuffer = 4 * kFieldBuffer;

} // namespace

void ups_firstpassword(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sendError(reply, 405);
        return;
    }
    // Only the fixed administrator's own session, never the loopback client.
    if (req.sessionId == 0 || sessionAccount(req.sessionId) != 0) {
        sendError(reply, 403);
        return;
    }
    card::Runtime& rt = card::rt();
    if (!firstPasswordPending(rt)) { // another browser was first
        resultOk(reply, 0, "done");
        return;
    }
    const std::string pass = req.bodyField("new_password", kReadBuffer).value_or("");
    const std::string again = req.bodyField("confirm_password", kReadBuffer).value_or("");
    if (std::string_view problem = newPasswordProblem(pass, again); !problem.empty()) {
        resultOk(reply, 0, problem);
        return;
    }
    // The runtime account checks its old password against the administrator
    // password: it changes first.
    const bool account = setPassed(kAdminName, kAdminDefaultPassword, pass.c_str()) > 0;
    rt.save("administrator_password", pass);
    rt.log("[first password] the administrator chose his password from " + req.address +
           (account ? "; the system account follows it"
                    : "; the system account could not be changed and keeps its password"));
    rt.controlLog(req.address + ": administrator password set");
    resultOk(reply, 1, account ? "" : "account");
}

} // namespace web
