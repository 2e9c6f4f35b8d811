/*
 * fake_runtime.cpp - the recording runtime of the unit tests.
 */
#include "fake_runtime.hpp"

#include <cstdlib>
#include <cstring>

namespace card
{

std::string FakeRuntime::text(const std::string& key, const std::string& def)
{
    std::lock_guard lock(m_);
    auto it = settings_.find(key);
    return it == settings_.end() ? def : it->second;
}

int FakeRuntime::integer(const std::string& key, int def)
{
    std::lock_guard lock(m_);
    auto it = settings_.find(key);
    // The runtime reads a stored text as atoi does.
    return it == settings_.end() ? def : std::atoi(it->second.c_str());
}

void FakeRuntime::save(const std::string& key, const std::string& value)
{
    std::lock_guard lock(m_);
    settings_[key] = value;
}

bool FakeRuntime::has(const std::string& key) const
{
    std::lock_guard lock(m_);
    return settings_.count(key) != 0;
}

void FakeRuntime::erase(const std::string& key)
{
    std::lock_guard lock(m_);
    settings_.erase(key);
}

float FakeRuntime::value(int dev, int sig)
{
    std::lock_guard lock(m_);
    auto it = signals_.find({dev, sig});
    return it == signals_.end() ? 0.0f : it->second;
}

void FakeRuntime::setValue(int dev, int sig, float v)
{
    std::lock_guard lock(m_);
    signals_[{dev, sig}] = v;
}

void FakeRuntime::post(int channel, int code, void*, int)
{
    {
        std::lock_guard lock(m_);
        events.push_back({channel, code});
    }
    if (onPost) onPost(channel, code);
}

int FakeRuntime::control(int dev, const std::string& text)
{
    std::lock_guard lock(m_);
    controls.push_back({dev, text});
    return controlResult;
}

int FakeRuntime::controlWait(int dev, const std::string& text, int)
{
    return control(dev, text);
}

int FakeRuntime::store(int code, const void* data, int size)
{
    StoreRequest r{code, {}, 0};
    if (data && size > 0) {
        const char* p = static_cast<const char*>(data);
        r.text.assign(p, strnlen(p, static_cast<size_t>(size)));
        if (size == sizeof r.value) std::memcpy(&r.value, data, sizeof r.value);
    }
    std::lock_guard lock(m_);
    stores.push_back(std::move(r));
    return 0;
}

std::time_t FakeRuntime::now()
{
    std::lock_guard lock(m_);
    return clock;
}

void FakeRuntime::sleepMs(int ms)
{
    std::lock_guard lock(m_);
    sleptMs += ms;
    clock += ms / 1000;
}

void FakeRuntime::setClock(const std::tm& local)
{
    std::lock_guard lock(m_);
    clockSets.push_back(local);
}

void FakeRuntime::log(const std::string& line)
{
    std::lock_guard lock(m_);
    logs.push_back(line);
}

void FakeRuntime::controlLog(const std::string& line)
{
    std::lock_guard lock(m_);
    controlLogs.push_back(line);
}

void FakeRuntime::exitProcess(int status)
{
    std::lock_guard lock(m_);
    exits.push_back(status);
}

std::vector<int> FakeRuntime::storeCodes() const
{
    std::lock_guard lock(m_);
    std::vector<int> codes;
    for (const auto& s : stores)
        codes.push_back(s.code);
    return codes;
}

bool FakeRuntime::logged(const std::string& text) const
{
    std::lock_guard lock(m_);
    for (const auto& l : logs)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

void FakeRuntime::clearRecords()
{
    std::lock_guard lock(m_);
    events.clear();
    controls.clear();
    stores.clear();
    logs.clear();
    controlLogs.clear();
    clockSets.clear();
    exits.clear();
    sleptMs = 0;
}

} // namespace card
