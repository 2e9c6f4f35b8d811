/*
 * routes_users.cpp - the web user table and the password pages: eight local
 * users in the settings store beside the fixed administrator, their password
 * changes, and the runtime account's password.
 */
#include "web.hpp"

#include "card_runtime.hpp"
#include "fieldcore.h"

#include <cjson/cJSON.h>
#include <memory>
#include <set>

namespace web
{

namespace
{

std::string slotKey(const char* name, int n)
{
    return std::string(name) + std::to_string(n);
}

void saveLogged(const std::string& key, const std::string& value, bool secret)
{
    card::rt().save(key, value);
    card::rt().log(key + " : " + (secret ? std::string("******") : headerSafe(value)));
}

void userTableRead(Reply& reply)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_CreateObject(), cJSON_Delete);
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    for (int n = 1; n <= kUserSlots; ++n) {
        cJSON* row = cJSON_CreateObject();
        for (const char* key : {"user_name", "user_pass", "user_right", "user_ip"})
            cJSON_AddStringToObject(row, key, card::rt().text(slotKey(key, n)).c_str());
        cJSON_AddItemToArray(list, row);
    }
    sendResult(reply, doc.get());
}

void userTableWrite(const Request& req, Reply& reply)
{
    std::optional<std::string> names[kUserSlots + 1];
    std::set<std::string> seen;
    for (int n = 1; n <= kUserSlots; ++n) {
        names[n] = req.bodyField(slotKey("user_name", n));
        if (!names[n]) continue;
        // The administrator is not a table user, and a name names one user.
        if (*names[n] == kAdminName || !seen.insert(*names[n]).second) {
            resultOk(reply, 200);
            return;
        }
    }
    for (int n = 1; n <= kUserSlots; ++n) {
        card::rt().save(slotKey("user_name", n), names[n].value_or(""));
        saveLogged(slotKey("user_pass", n), req.bodyField(slotKey("user_pass", n)).value_or(""),
                   true);
        if (auto right = req.bodyField(slotKey("user_right", n)))
            saveLogged(slotKey("user_right", n), *right, false);
        saveLogged(slotKey("user_ip", n), req.bodyField(slotKey("user_ip", n)).value_or(""), false);
    }
    card::rt().post(card::kNutServer, card::event::kUsersChanged);
    resultOk(reply, 100);
}

} // namespace

void ups_networkremoteinfo(const Request& req, Reply& reply)
{
    if (req.isPost())
        userTableWrite(req, reply);
    else
        userTableRead(reply);
}

void ups_setsyspassword(const Request& req, Reply& reply)
{
    if (!req.isPost()) return; // no answer
    auto user = req.bodyField("user");
    auto oldPass = req.bodyField("old_password");
    auto newPass = req.bodyField("new_password");
    if (!user || !oldPass || !newPass) {
        resultOk(reply, 300);
        return;
    }
    // Below administrator, a user changes only his own password.
    if (req.level < kAdministrator && *user != req.user) {
        sendError(reply, 403);
        return;
    }
    card::Runtime& rt = card::rt();
    bool saved = false;
    if (*user == kAdminName &&
        *oldPass == rt.text("administrator_password", kAdminDefaultPassword)) {
        rt.save("administrator_password", *newPass);
        saved = true;
    }
    for (int n = 1; n <= kUserSlots; ++n) {
        if (*user == rt.text(slotKey("user_name", n)) &&
            *oldPass == rt.text(slotKey("user_pass", n))) {
            rt.save(slotKey("user_pass", n), *newPass);
            saved = true;
        }
    }
    if (saved)
        rt.log("[ups_setsyspassword] password of " + headerSafe(*user) + " changed from " +
               req.address);
    resultOk(reply, saved ? 100 : 300);
}

void cmd_setPasswd(const Request& req, Reply& reply)
{
    std::string user = req.bodyField("user").value_or("");
    std::string pass = req.bodyField("passwd").value_or("");
    std::string newPass = req.bodyField("newpasswd").value_or("");
    if (setPassed(user.c_str(), pass.c_str(), newPass.c_str()) > 0) {
        card::rt().controlLog(req.address + ":设置密码成功");
        resultOk(reply, 1);
    } else {
        resultOk(reply, 0);
    }
}

} // namespace web
