/*
 * cardctl - the operator's and the tests' view into a running card.
 *
 *   cardctl signal get DEV SIG | set DEV SIG VALUE | list DEV | text DEV BASE
 *   cardctl setting get KEY [DEFAULT] | set KEY VALUE | del KEY | list
 *   cardctl event CHANNEL CODE [DATA]
 *   cardctl control DEV TEXT [TIMEOUT_MS]
 *   cardctl store CODE [TEXT]
 *   cardctl trace PORT on|off      (traffic to data/<port>_HEX.log, _ASCII.log)
 *   cardctl devices | plugins
 *
 * With cardmon running the request goes over its socket; without it only the
 * setting verbs work, directly on the store file. Root only.
 */
#include "fieldcore.hpp"
#include "internal.hpp"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

bool ask(const std::string& path, const std::string& request, std::string& answer)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_un addr {
    };
    int dirFd = -1;
    bool connected = fieldcore::socketAddress(path, addr, dirFd) &&
                     connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (dirFd >= 0) close(dirFd);
    if (!connected) {
        close(fd);
        return false;
    }
    size_t done = 0;
    while (done < request.size()) {
        ssize_t n = write(fd, request.data() + done, request.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        answer.append(buf, size_t(n));
    close(fd);
    return !answer.empty();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
        std::fprintf(stderr,
                     "usage: cardctl signal|setting|event|control|store|devices|plugins ...\n");
        return 2;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "cardctl: root only\n");
        return 2;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string request;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].find_first_of("\t\n") != std::string::npos) {
            std::fprintf(stderr, "cardctl: arguments may not hold tabs or newlines\n");
            return 2;
        }
        request += (i ? "\t" : "") + args[i];
    }
    request += "\n";
    std::string answer;
    if (!ask(fieldcore::controlSocketPath(), request, answer))
        answer = fieldcore::handleControl(args, false);
    bool good = answer.rfind("OK\n", 0) == 0;
    std::fputs(good ? answer.c_str() + 3 : answer.c_str(), good ? stdout : stderr);
    return good ? 0 : 1;
}
