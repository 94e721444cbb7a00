#include <gtest/gtest.h>

#include "app/MirelLauncherApp.h"
#include "test_support.h"

namespace {

// A stand-in process that has signalled that it runs; with `stuck`, no thread started in it
// from outside runs, so it cannot carry out an exit asked of it.
PROCESS_INFORMATION StartSleeper(bool stuck) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE ready = ::CreateEventA(&inherit, TRUE, FALSE, nullptr);
    std::string cmd = "\"" + StandinPath("standin_sleeper.exe") + "\" 4294967295 " +
                      std::to_string(reinterpret_cast<UINT_PTR>(ready)) + (stuck ? " stuck" : "");
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    HANDLE both[] = {ready, pi.hProcess};
    EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 30000), WAIT_OBJECT_0) << "the stand-in did not get going";
    ::CloseHandle(ready);
    return pi;
}

}  // namespace

TEST(SafeTerminateProcess, EndsTheProcessWithTheGivenCodeBeforeItReturns) {
    struct Case {
        const char* what;
        bool stuck;
        DWORD minMs;  // the call takes at least this long
    };
    // A process that cannot run the exit is given 10 s, then ended outright.
    const Case cases[] = {{"runs its exit", false, 0}, {"cannot run its exit", true, 9900}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PROCESS_INFORMATION pi = StartSleeper(c.stuck);
        ASSERT_TRUE(pi.hProcess);
        DWORD start = ::GetTickCount();
        EXPECT_TRUE(CMirelLauncherApp::SafeTerminateProcess(pi.hProcess, 42));
        DWORD ms = ::GetTickCount() - start;
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, 60000u);
        EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0) << "still running after the call";
        // The caller's handle is still open and usable.
        DWORD code = 0;
        ASSERT_TRUE(::GetExitCodeProcess(pi.hProcess, &code));
        EXPECT_EQ(code, 42u);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
}

TEST(SafeTerminateProcess, ReportsAnEndedProcessOrAnUnusableHandleAsAborted) {
    PROCESS_INFORMATION pi = StartSleeper(false);
    ASSERT_TRUE(pi.hProcess);
    ::TerminateProcess(pi.hProcess, 7);
    ASSERT_EQ(::WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    for (HANDLE h : {pi.hProcess, static_cast<HANDLE>(nullptr)}) {
        ::SetLastError(0);
        EXPECT_FALSE(CMirelLauncherApp::SafeTerminateProcess(h, 0));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    }
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 7u) << "an ended process keeps its own code";
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}
