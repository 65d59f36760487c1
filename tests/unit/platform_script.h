// Every platform call the tool makes passes through the wrappers in
// platform_script.cpp on its way to the layer (the test binary is linked
// with --wrap), so that a test can see the calls, make one of them fail, or
// hand the tool a descriptor of its own.
#ifndef ZIRM_TESTS_PLATFORM_SCRIPT_H
#define ZIRM_TESTS_PLATFORM_SCRIPT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fixtures.h"

struct PlatformScript {
    bool active = false; // only calls made while active are seen

    // The call named here fails at its occurrence-th call with this code.
    std::string fail_call;
    int fail_occurrence = 1;
    DWORD fail_code = ERROR_SUCCESS;

    // Run right after the named call returns to the tool: another user's
    // move between two of the tool's calls.
    std::string after_call;
    std::function<void()> then;

    // GetFileSecurityA hands over these bytes instead of the file's.
    bool fake_descriptor = false;
    Bytes descriptor;

    // FormatMessageA gives this text (none: it fails) instead of the layer's.
    bool fake_text = false;
    bool has_text = true;
    std::string text;

    // What was seen.
    std::vector<std::string> calls;
    std::set<void *> live_blocks; // the tool's heap blocks not yet freed
    Bytes written_dacl;           // the DACL handed to SetFileSecurityA
    WORD written_control = 0;
    DWORD message_flags = 0, message_language = 0, message_code = 0;
    std::vector<void *> freed_texts;

    int seen(const std::string &name) const;
};

extern PlatformScript platform;
void reset_platform();

// A test of the tool's: a fresh script before, and no scratch files after.
class ScriptedTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        reset_platform();
    }
    void TearDown() override
    {
        reset_platform();
        remove_scratch();
    }
};

struct Outcome {
    int status;
    std::string output;
};

// The rewrite alone, and the whole program with its arguments.
Outcome run_rewrite(const std::string &path, DWORD generic_rights, DWORD file_rights);
Outcome run_program(const std::vector<std::string> &arguments);

#endif
