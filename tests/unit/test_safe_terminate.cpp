#include <gtest/gtest.h>

#include "app/MirelLauncherApp.h"
#include "test_support.h"

namespace {

PROCESS_INFORMATION StartSleeper() {
    std::string cmd = "\"" + StandinPath("standin_sleeper.exe") + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ::WaitForInputIdle(pi.hProcess, 2000);
    return pi;
}

}  // namespace

TEST(SafeTerminateProcess, EndsARunningProcessWithTheGivenCode) {
    PROCESS_INFORMATION pi = StartSleeper();
    ASSERT_TRUE(pi.hProcess);
    ::Sleep(200);  // let the process get past its start-up
    EXPECT_TRUE(CMirelLauncherApp::SafeTerminateProcess(pi.hProcess, 42));
    // It has ended when the call returns.
    EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 42u);
    // The caller's handle is still open and usable.
    EXPECT_TRUE(::GetExitCodeProcess(pi.hProcess, &code));
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

TEST(SafeTerminateProcess, ReportsAnEndedProcessAsAborted) {
    PROCESS_INFORMATION pi = StartSleeper();
    ASSERT_TRUE(pi.hProcess);
    ::TerminateProcess(pi.hProcess, 7);
    ::WaitForSingleObject(pi.hProcess, 5000);
    ::SetLastError(0);
    EXPECT_FALSE(CMirelLauncherApp::SafeTerminateProcess(pi.hProcess, 0));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 7u);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

TEST(SafeTerminateProcess, ReportsAnUnusableHandleAsAborted) {
    ::SetLastError(0);
    EXPECT_FALSE(CMirelLauncherApp::SafeTerminateProcess(nullptr, 0));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
}
