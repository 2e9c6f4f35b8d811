/*
 * routes_users.cpp - the web user table and the password pages: eight local
 * users in the settings store beside the fixed administrator, their password
 * changes, and the runtime account's password.
 */
#include "web.hpp"

#include "fieldcore.hpp"

#include <cjson/cJSON.h>
#include <memory>
#include <set>

namespace web
{

namespace
{

constexpr int kNutServer = 6;
constexpr int kUserReloadEvent = 3005; // SYS_CMD_CTRL_USER_RELOAD

std::string slotKey(const char* name, int n)
{
    return std::string(name) + std::to_string(n);
}

void saveLogged(const std::string& key, const std::string& value, bool secret)
{
    SaveSettings(key.c_str(), value.c_str());
    AppLogOut("%s : %s", key.c_str(), secret ? "******" : headerSafe(value).c_str());
}

void userTableRead(Reply& reply)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_CreateObject(), cJSON_Delete);
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    for (int n = 1; n <= kUserSlots; ++n) {
        cJSON* row = cJSON_CreateObject();
        for (const char* key : {"user_name", "user_pass", "user_right", "user_ip"})
            cJSON_AddStringToObject(row, key,
                                    fieldcore::settingText(slotKey(key, n).c_str()).c_str());
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
        SaveSettings(slotKey("user_name", n).c_str(), names[n].value_or("").c_str());
        saveLogged(slotKey("user_pass", n), req.bodyField(slotKey("user_pass", n)).value_or(""),
                   true);
        if (auto right = req.bodyField(slotKey("user_right", n)))
            saveLogged(slotKey("user_right", n), *right, false);
        saveLogged(slotKey("user_ip", n), req.bodyField(slotKey("user_ip", n)).value_or(""), false);
    }
    postEvent(kNutServer, kUserReloadEvent, nullptr, 0);
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
    bool saved = false;
    if (*user == kAdminName &&
        *oldPass == fieldcore::settingText("administrator_password", kAdminDefaultPassword)) {
        SaveSettings("administrator_password", newPass->c_str());
        saved = true;
    }
    for (int n = 1; n <= kUserSlots; ++n) {
        if (*user == fieldcore::settingText(slotKey("user_name", n).c_str()) &&
            *oldPass == fieldcore::settingText(slotKey("user_pass", n).c_str())) {
            SaveSettings(slotKey("user_pass", n).c_str(), newPass->c_str());
            saved = true;
        }
    }
    if (saved)
        AppLogOut("[%s] password of %s changed from %s", __func__, headerSafe(*user).c_str(),
                  req.address.c_str());
    resultOk(reply, saved ? 100 : 300);
}

void cmd_setPasswd(const Request& req, Reply& reply)
{
    std::string user = req.bodyField("user").value_or("");
    std::string pass = req.bodyField("passwd").value_or("");
    std::string newPass = req.bodyField("newpasswd").value_or("");
    if (setPassed(user.c_str(), pass.c_str(), newPass.c_str()) > 0) {
        ControlLogOut("%s:设置密码成功", req.address.c_str());
        resultOk(reply, 1);
    } else {
        resultOk(reply, 0);
    }
}

} // namespace web
