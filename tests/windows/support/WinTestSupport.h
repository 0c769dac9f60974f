#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the Windows layer tests share: this program started again as a child process, standard
// error captured at the descriptor level, and throwaway files in the temporary folder.
namespace wintest {

// Full path of this test program, learnt independently of the code under test.
std::wstring selfPath();

// True under Wine, where the prefix is the test's own and its registry may be wiped.
bool runningUnderWine();

// This program started again with arguments (the helper modes of WindowsTestMain.cpp), its
// standard input and output on pipes and its standard error shared with ours.
class Child
{
public:
    explicit Child(const std::vector<std::string>& arguments);
    ~Child(); // kills the child if it still runs

    // Reads standard output up to and without the next line end; empty at end of stream.
    std::string readLine();
    // Everything still to come on standard output.
    std::string readAll();
    // Closes the child's standard input, which a holding helper takes as its cue to end.
    void closeInput();
    // Waits for the end (a minute at most) and gives the exit code.
    DWORD wait();
    // Ends the child at once, as a crash would: nothing of it runs any more.
    void kill();

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

private:
    PROCESS_INFORMATION m_process {};
    HANDLE m_input = nullptr;
    HANDLE m_output = nullptr;
    std::string m_pending;
};

struct Finished
{
    DWORD exitCode;
    std::string output;
};

// Runs a helper mode to its end.
Finished runSelf(const std::vector<std::string>& arguments);

// Collects what is written to standard error (descriptor 2, so stdio and std::cerr alike) while
// it lives.
class CapturedStandardError
{
public:
    CapturedStandardError();
    ~CapturedStandardError();
    std::string text();

    CapturedStandardError(const CapturedStandardError&) = delete;
    CapturedStandardError& operator=(const CapturedStandardError&) = delete;

private:
    void restore();
    std::wstring m_path;
    int m_saved = -1;
    std::optional<std::string> m_text;
};

// A file in the temporary folder with the given bytes, removed again at the end.
class TemporaryFile
{
public:
    explicit TemporaryFile(const std::string& bytes);
    ~TemporaryFile();
    const std::wstring& path() const { return m_path; }

    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

private:
    std::wstring m_path;
};

// Sets an environment variable of this process (both the CRT's copy and the Win32 block) and
// puts the old value back at the end.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const std::wstring& name, const wchar_t* value);
    ~ScopedEnvironment();

    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    void set(const wchar_t* value);
    std::wstring m_name;
    std::optional<std::wstring> m_old;
};

// A value under HKEY_CURRENT_USER as the Win32 calls read it: its type and its text up to the first
// NUL, or nothing when it is missing.
std::optional<std::pair<DWORD, std::wstring>> registryText(const wchar_t* path,
                                                           const wchar_t* name);

// Plain ASCII narrowing for paths and names the tests build themselves.
std::string ascii(const std::wstring& text);

} // namespace wintest
