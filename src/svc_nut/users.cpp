/*
 * users.cpp - the protocol's users: the eight slots of the card's user table,
 * the same that log in to the web pages, with their levels and address
 * filters (the card's shared address rule). The fixed web administrator is
 * no user here: a server's monitoring account is a table user.
 */
#include "nut.hpp"

#include "card_rules.hpp"

namespace nut
{

int levelOfRight(std::string_view right)
{
    const int v = card::parseInt(right, kNoAccess);
    if (v < kMonitor) return kNoAccess;
    return v > kAdministrator ? kAdministrator : v;
}

void Users::load(card::Runtime& r)
{
    std::vector<User> table;
    for (int n = 1; n <= kUserSlots; ++n) {
        const std::string idx = std::to_string(n);
        User u;
        u.name = r.text("user_name" + idx, "");
        if (u.name.empty()) continue;
        u.password = r.text("user_pass" + idx, "");
        u.filter = r.text("user_ip" + idx, "");
        u.level = levelOfRight(r.text("user_right" + idx, ""));
        table.push_back(std::move(u));
    }
    std::lock_guard hold(m_);
    users_ = std::move(table);
}

int Users::level(std::string_view name, std::string_view password, std::string_view address) const
{
    if (name.empty()) return kNoAccess;
    std::lock_guard hold(m_);
    for (const User& u : users_) {
        if (u.name != name || u.password != password) continue;
        if (card::addressMatches(u.filter, address)) return u.level;
    }
    return kNoAccess;
}

std::size_t Users::count() const
{
    std::lock_guard hold(m_);
    return users_.size();
}

} // namespace nut
