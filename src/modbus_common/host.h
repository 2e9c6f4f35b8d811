/*
 * host.h - what the Modbus slaves need from the rest of the card.
 *
 * The register map and the frame handlers never call the runtime directly; they
 * go through this interface. The plug-ins pass RuntimeHost (runtime_host.h),
 * the unit tests and the fuzz target a recording fake, so the protocol code is
 * tested by feeding bytes without a runtime thread.
 */
#pragma once

#include <ctime>
#include <string>

namespace mbslave
{

class Host
{
  public:
    virtual ~Host() = default;

    // Signals (GetDevValue / SetDevValue).
    virtual float value(int dev, int sig) = 0;
    virtual void setValue(int dev, int sig, float v) = 0;

    // Settings, read at each use with a default.
    virtual std::string settingText(const char* key, const char* def) = 0;
    virtual int settingInt(const char* key, int def) = 0;
    virtual void saveText(const char* key, const std::string& v) = 0;
    virtual void saveInt(const char* key, int v) = 0;

    // UPS command n for the data task: postEvent(0, n, 0, 0).
    virtual void command(int n) = 0;
    // Control-log record through the store: DevCallback(4, code, text, 50).
    virtual void controlLog(int code, const std::string& text) = 0;
    // DevControl(dev, text).
    virtual void devControl(int dev, const std::string& text) = 0;
    // Application log line.
    virtual void log(const std::string& line) = 0;

    virtual std::time_t now() = 0;
    // Sets the system clock and the hardware clock to this local time.
    virtual void setClock(const std::tm& local) = 0;
};

} // namespace mbslave
