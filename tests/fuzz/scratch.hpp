// A fresh directory for a fuzz target's files: under $TMPDIR when it is set
// (scripts/fuzz points it at a memory file system, which spares the databases
// their disk syncs), else under /tmp.
#pragma once

#include <cstdlib>
#include <string>

inline std::string fuzzScratchDir(const char* name)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    return tmpl;
}
