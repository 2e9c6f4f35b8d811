/*
 * netport.hpp - a TCP connection that the runtime uses as a port.
 *
 * The open text "ADDRESS:PORT" decides the role: "0.0.0.0" listens on PORT
 * and serves one client at a time; any other address is a client that
 * connects there and connects again, on its next write, once the peer has
 * gone. The runtime calls it through the HAL_Comm functions of the port-driver
 * interface (plugin.cpp); a reader thread may feed a function with whatever
 * arrives. Every byte sent or received is traced as hex to data/<port>.log.
 */
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace netport
{

constexpr size_t kMaxOpenText = 99;
constexpr int kBacklog = 300;
constexpr int kTraceLimit = 256000;
// HAL_CommControl operations.
constexpr int kReaderThread = 4096;
constexpr int kActiveSocket = 4097;

using Feed = std::function<void(const unsigned char* data, int len)>;

// Where the library's log lines and traces go (the runtime's logs by default;
// tests collect them).
struct Sink {
    std::function<void(const std::string& line)> log;
    std::function<void(const std::string& file, const std::string& head, const std::string& dump)>
        trace;
};
Sink& sink();

class TcpPort
{
  public:
    // nullptr (and a log line) when the text is no "ADDRESS:PORT".
    static TcpPort* open(const std::string& text, int timeoutMs);
    ~TcpPort();

    int read(unsigned char* buf, int len);
    int write(const unsigned char* buf, int len);
    // The client socket while one is connected, else the listening or
    // connected socket (-1 when none).
    int activeSocket() const;
    bool startReader(Feed feed);
    void stopReader();

    bool server() const { return server_; }
    int portNo() const { return portNo_; }
    const std::string& address() const { return address_; }

    // Peer-closed test: peeks without consuming; a peer that merely sent
    // nothing yet is still there.
    static bool peerClosed(int fd);

  private:
    TcpPort(std::string address, int port, int timeoutMs);
    bool bind();
    bool connect();
    int newSocket();
    bool waitReadable(int fd, int timeoutMs);
    void trace(const char* dir, const unsigned char* data, int len);
    void readerLoop();

    std::string address_;
    int portNo_;
    int timeoutMs_;
    bool server_;
    std::atomic<int> fd_{-1};
    std::atomic<int> clientFd_{-1};
    std::atomic<bool> exit_{false};
    Feed feed_;
    std::thread reader_;
};

// Hex dump of a record: "%02x " per byte in a 1024-byte buffer, so at most
// the first 341 bytes show.
std::string hexDump(const unsigned char* data, int len);

} // namespace netport
