// A line-protocol test driver: the runtime's port thread calls it like any UPS
// driver. Query sends "Q<addr>\n" and reports the reply's length as 4105 and its
// first 16 characters as the model text 4016; Control sends "C<text>\n" and
// reports the command through 4500.
#include "fieldcore.h"

#include <cstdio>
#include <cstring>

extern "C" {

char Info[] = "test driver\n";

int Query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)
{
    char req[32];
    int n = std::snprintf(req, sizeof req, "Q%d\n", id);
    if (CommWrite(fd, req, n) != n) return 0;
    char buf[256] = {0};
    int got = CommRead(fd, buf, sizeof buf - 1);
    if (got <= 0) return 0;
    process(4105, float(got), p);
    for (int k = 0; k < 16; ++k)
        process(4016 + k, k < got ? float(static_cast<unsigned char>(buf[k])) : 0.0f, p);
    return 1;
}

int Control(void* fd, int, void* pCmdStr)
{
    char req[128];
    int n = std::snprintf(req, sizeof req, "C%s\n", static_cast<const char*>(pCmdStr));
    return CommWrite(fd, req, n) == n ? 1 : 0;
}

int Test(void*, int, ENUMSIGNALPROC, LPVOID)
{
    return 1;
}

char* DLLInfo(void)
{
    return Info;
}
}
