#pragma once

#include "tests/support/Emulated.h"
#include "tests/windows/ChildProcess.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace wintest {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

inline bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// Where the build put pravel-flash.exe and the stand-in FTD2XX.dll: "tools"
// beside this test program.
inline fs::path toolsDir()
{
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), DWORD(self.size())));
    return fs::path(self).parent_path() / "tools";
}

// A scratch directory of its own for each test, removed afterwards.
class ToolRig : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(ChildProcess::wide(testing::TempDir())) /
              (std::string("win_") + info->test_suite_name() + "_" + info->name());
        std::error_code ec;
        fs::remove_all(dir, ec);
        fs::create_directories(dir);
        tool = toolsDir() / "pravel-flash.exe";
        ASSERT_TRUE(fs::exists(tool)) << tool.string();
        ASSERT_TRUE(fs::exists(toolsDir() / "FTD2XX.dll"));
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // pravel-flash with `args`, the PRAVEL_* variables `env`, in `cwd`
    // (default: the scratch directory).
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args,
                                        const std::map<std::string, std::string>& env = {}, fs::path cwd = {},
                                        fs::path program = {})
    {
        if (cwd.empty())
            cwd = dir;
        auto child = std::make_unique<ChildProcess>(program.empty() ? tool : program, args, env,
                                                    dir / ("run" + std::to_string(++runs)), cwd);
        EXPECT_TRUE(child->started());
        return child;
    }
    ChildProcess::Outcome run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                              const fs::path& cwd = {}, const fs::path& program = {})
    {
        return start(args, env, cwd, program)->finish();
    }

    fs::path dir, tool;
    int runs = 0;
};

} // namespace wintest
