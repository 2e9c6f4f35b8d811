/*
 * platform.hpp - where the card's files are, and how shell commands run.
 *
 * On the card the application lives in /root/app and the system files in /etc,
 * /var and /dev. Off the card everything is moved into a sandbox:
 *   CARDMON_APP_DIR  replaces /root/app (default /root/app),
 *   CARDMON_SYSROOT  prefixes every other absolute path (default /).
 * No other code spells those directories; it asks appPath()/sysPath().
 *
 * Every shell command goes through runShell(), with the sandbox's bin/ first on
 * PATH. Values that come from settings or requests are passed through
 * shellQuote() or, better, written with file I/O instead.
 */
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform
{

// The application directory (CARDMON_APP_DIR, default "/root/app").
const std::string& appDir();
// The system root (CARDMON_SYSROOT, default "/"), without a trailing slash ("" for /).
const std::string& sysRoot();

// Maps a card path to this machine: "/root/app/x" and relative "x" resolve
// inside appDir(); "config/x" too. Other absolute paths go to sysPath().
std::string appPath(std::string_view cardPath);
// Maps an absolute system path ("/etc/snmpd.cfg") into the system root.
std::string sysPath(std::string_view cardPath);

// True when the system root is a sandbox: it holds the marker ".cardmon-sandbox".
bool inSandbox();
// Device builds skip the check; a host build refuses to run outside a sandbox.
bool mayRun(std::string* why);

// Runs "/bin/sh -c cmd" with the sandbox PATH; returns the exit status (or -1).
int runShell(const std::string& cmd);
// Runs cmd and returns its standard output (at most maxBytes).
std::string runCapture(const std::string& cmd, size_t maxBytes = 65536);
// Runs a program without a shell: argv[0] is looked up on the sandbox PATH.
// Returns the exit status (or -1). Output goes to /dev/null unless captured.
int runArgv(const std::vector<std::string>& argv, std::string* output = nullptr);
// The same with `input` (small: a few lines) on its standard input. Secrets go
// this way, never on a command line, where any process can read them.
int runArgvInput(const std::vector<std::string>& argv, std::string_view input);

// Single-quotes a value for /bin/sh.
std::string shellQuote(std::string_view value);

// File helpers used where the card wrote files through "echo ... > file".
bool writeFile(const std::string& path, std::string_view bytes, bool append = false);
bool readFile(const std::string& path, std::string& out, size_t maxBytes = 1 << 20);
bool fileExists(const std::string& path);
bool makeDirs(const std::string& path);

} // namespace platform
