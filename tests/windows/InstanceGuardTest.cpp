// The Windows single-instance guard across processes: the test process and
// guard_probe.exe copies play the first and the later starts of the loader.
#include "app/WindowsInstanceGuard.h"
#include "tests/windows/ChildProcess.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

const char kName[] = "PravelAppMutex";
const char kTitle[] = "Pravel FW Loader";
const char kStopEvent[] = "PravelGuardTestStop";

fs::path probe()
{
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), DWORD(self.size())));
    return fs::path(self).parent_path() / "guard_probe.exe";
}

// Top-level windows of this process: the loader's, found by its title, and
// another that has the foreground before a second copy starts.
class Windows
{
public:
    Windows()
    {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "PravelGuardTest";
        RegisterClassA(&windowClass);
        loader = CreateWindowExA(0, "PravelGuardTest", kTitle, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
        other = CreateWindowExA(0, "PravelGuardTest", "Something else", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, windowClass.hInstance, nullptr);
        ShowWindow(loader, SW_SHOW);
        ShowWindow(other, SW_SHOW);
        // The first windows of a fresh Wine prefix wait for its desktop
        // process: ask again until it has answered.
        for (int i = 0; i < 100 && GetForegroundWindow() != other; ++i) {
            SetForegroundWindow(other);
            pump();
        }
    }
    ~Windows()
    {
        DestroyWindow(loader);
        DestroyWindow(other);
    }
    void pump()
    {
        MSG message;
        for (int i = 0; i < 20; ++i, Sleep(5))
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
    }
    // Whether `window` comes to the foreground while messages are handled.
    bool cameForward(HWND window)
    {
        for (int i = 0; i < 50 && GetForegroundWindow() != window; ++i)
            pump();
        return GetForegroundWindow() == window;
    }
    HWND loader = nullptr, other = nullptr;
};

class SingleInstance : public ::testing::Test
{
protected:
    void SetUp() override
    {
        scratch = fs::temp_directory_path() / "pravel-guard";
        fs::create_directories(scratch);
        ASSERT_TRUE(fs::exists(probe()));
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }
    // A later start of the loader; its exit code: 0 runs, 3 refused.
    unsigned long secondStart()
    {
        return ChildProcess(probe(), {kName, kTitle}, {}, scratch / ("probe" + std::to_string(++starts))).finish().status;
    }
    std::unique_ptr<ChildProcess> holder()
    {
        auto child = std::make_unique<ChildProcess>(probe(), std::vector<std::string>{kName, kTitle, "--hold", kStopEvent},
                                                    std::map<std::string, std::string>{},
                                                    scratch / ("holder" + std::to_string(++starts)));
        EXPECT_TRUE(child->waitForOutput("acquired\n")) << child->output();
        return child;
    }

    fs::path scratch;
    int starts = 0;
};

} // namespace

TEST_F(SingleInstance, ASecondCopyRaisesTheFirstCopysWindowAndEnds)
{
    WindowsInstanceGuard first(kName, kTitle);
    ASSERT_TRUE(first.acquire());
    Windows windows;
    ASSERT_TRUE(windows.loader && windows.other);
    ASSERT_EQ(GetForegroundWindow(), windows.other);

    EXPECT_EQ(secondStart(), 3u);
    EXPECT_TRUE(windows.cameForward(windows.loader));
}

TEST_F(SingleInstance, ASecondCopyWhileTheFirstHasNoWindowYetRaisesNothing)
{
    WindowsInstanceGuard first(kName, kTitle);
    ASSERT_TRUE(first.acquire());
    EXPECT_EQ(FindWindowA(nullptr, kTitle), nullptr);
    EXPECT_EQ(secondStart(), 3u);
    EXPECT_EQ(secondStart(), 3u);
}

TEST_F(SingleInstance, ANewCopyTakesOverOnceTheFirstHasEnded)
{
    {
        WindowsInstanceGuard first(kName, kTitle);
        ASSERT_TRUE(first.acquire());
        EXPECT_EQ(secondStart(), 3u);
    }
    EXPECT_EQ(secondStart(), 0u);

    // The first copy another process, ending normally.
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, kStopEvent);
    auto first = holder();
    EXPECT_EQ(secondStart(), 3u);
    SetEvent(stop);
    EXPECT_EQ(first->finish().status, 0u);
    CloseHandle(stop);
    EXPECT_EQ(secondStart(), 0u);
}

TEST_F(SingleInstance, ANewCopyTakesOverWhenTheFirstWasKilled)
{
    auto first = holder();
    // A copy that lost keeps its handle, so the name outlives the killed
    // first copy; what counts is that nobody owns the mutex any more.
    WindowsInstanceGuard loser(kName, kTitle);
    EXPECT_FALSE(loser.acquire());
    first->kill();
    WindowsInstanceGuard next(kName, kTitle);
    EXPECT_TRUE(next.acquire());
    EXPECT_EQ(secondStart(), 3u);
}
