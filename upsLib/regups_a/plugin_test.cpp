// The built libregups_a.so as the runtime sees it: loaded by name, entry
// points found by their plain names.
#include "common.h"
#include "fieldcore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <string>

namespace
{

class Plugin : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        // The driver binds CommWrite/CommRead from the runtime this test links.
        ASSERT_NE(reinterpret_cast<void*>(&CommWrite), nullptr);
        lib_ = dlopen(REGUPS_A_SO, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
    }
    template <typename F> static F entry(const char* name)
    {
        void* f = dlsym(lib_, name);
        EXPECT_NE(f, nullptr) << name;
        return reinterpret_cast<F>(f);
    }
    static inline void* lib_ = nullptr;
};

TEST_F(Plugin, DescriptionStampedInPlace)
{
    auto dllInfo = entry<char* (*)()>("DLLInfo");
    auto* info = static_cast<char*>(dlsym(lib_, "Info"));
    ASSERT_NE(info, nullptr);
    const size_t before = std::strlen(info);
    const std::string first = dllInfo();
    const std::string second = dllInfo();
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.size(), before);
    EXPECT_EQ(dllInfo(), info);
    EXPECT_NE(first.find("KY_RM"), std::string::npos);
    EXPECT_EQ(first.substr(first.size() - 22), "Jun 18 2022 06:06:19\n ");
}

TEST_F(Plugin, CommandTableAccessors)
{
    auto count = entry<int (*)(int)>("getCmdCount");
    auto size = entry<int (*)(int, int, int, char*)>("getCmdSize");
    auto get = entry<int (*)(unsigned, int, int, char*, char*)>("getCmd");
    EXPECT_EQ(count(0), 0);
    EXPECT_EQ(size(3, 1, 0, nullptr), 8);
    EXPECT_EQ(size(3, 1, 1, nullptr), 0);
    EXPECT_EQ(size(9, 1, 0, nullptr), 0);
    unsigned char frame[8] = {};
    EXPECT_EQ(get(1, 7, 0, nullptr, reinterpret_cast<char*>(frame)), 107);
    const unsigned char want[] = {7, 4, 0, 128, 0, 51};
    EXPECT_EQ(std::memcmp(frame, want, 6), 0);
    EXPECT_EQ(checkModbufCRC(reinterpret_cast<char*>(frame), 8), 0);
    EXPECT_EQ(get(9, 7, 0, nullptr, reinterpret_cast<char*>(frame)), 0);
}

TEST_F(Plugin, SuspendedQueryLeavesThePortAlone)
{
    auto control = entry<int (*)(void*, int, void*)>("Control");
    auto query = entry<int (*)(void*, int, ENUMSIGNALPROC, LPVOID)>("Query");
    auto test = entry<int (*)(void*, int, ENUMSIGNALPROC, LPVOID)>("Test");
    char suspend[] = "54", resume[] = "55";
    EXPECT_EQ(control(nullptr, 1, suspend), 0);
    // A null port handle would be used at once if the driver touched the line.
    EXPECT_EQ(query(nullptr, 1, nullptr, nullptr), 0);
    EXPECT_EQ(control(nullptr, 1, resume), 0);
    EXPECT_EQ(control(nullptr, 1, nullptr), 0);
    EXPECT_EQ(test(nullptr, 1, nullptr, nullptr), 1);
}

} // namespace
