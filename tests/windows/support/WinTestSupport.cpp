#include "support/WinTestSupport.h"

#include <doctest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace wintest {

namespace {

std::wstring temporaryName(const wchar_t* stem)
{
    static LONG counter = 0;
    wchar_t folder[MAX_PATH + 1] = {};
    REQUIRE(GetTempPathW(MAX_PATH + 1, folder) != 0);
    return std::wstring(folder) + stem + std::to_wstring(GetCurrentProcessId()) + L"-"
        + std::to_wstring(InterlockedIncrement(&counter)) + L".txt";
}

std::wstring quoted(const std::wstring& argument)
{
    // The arguments the tests pass hold neither quotes nor trailing backslashes.
    return L"\"" + argument + L"\"";
}

} // namespace

std::wstring selfPath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    REQUIRE(length > 0);
    return std::wstring(buffer.data(), length);
}

bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::optional<std::pair<DWORD, std::wstring>> registryText(const wchar_t* path, const wchar_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = REG_NONE;
    std::vector<wchar_t> text(2048, L'\0');
    DWORD bytes = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    return std::pair(type, std::wstring(text.data()));
}

std::string ascii(const std::wstring& text)
{
    std::string result;
    for (const wchar_t unit : text) {
        REQUIRE(unit < 0x80);
        result.push_back(static_cast<char>(unit));
    }
    return result;
}

Child::Child(const std::vector<std::string>& arguments)
{
    SECURITY_ATTRIBUTES inheritable { sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    REQUIRE(CreatePipe(&childInput, &m_input, &inheritable, 0));
    REQUIRE(CreatePipe(&m_output, &childOutput, &inheritable, 0));
    // Our ends stay ours, or the child would hold its own pipes open.
    SetHandleInformation(m_input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);

    const std::wstring program = selfPath();
    std::wstring commandLine = quoted(program);
    for (const std::string& argument : arguments)
        commandLine += L" " + quoted(std::wstring(argument.begin(), argument.end()));

    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &m_process);
    CloseHandle(childInput);
    CloseHandle(childOutput);
    REQUIRE_MESSAGE(started, "CreateProcessW failed with ", GetLastError());
}

Child::~Child()
{
    if (m_process.hProcess && WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
        kill();
    if (m_input)
        CloseHandle(m_input);
    if (m_output)
        CloseHandle(m_output);
    if (m_process.hThread)
        CloseHandle(m_process.hThread);
    if (m_process.hProcess)
        CloseHandle(m_process.hProcess);
}

std::string Child::readLine()
{
    for (;;) {
        const auto end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        char buffer[256];
        DWORD received = 0;
        if (!ReadFile(m_output, buffer, sizeof buffer, &received, nullptr) || received == 0) {
            std::string rest;
            rest.swap(m_pending);
            return rest;
        }
        m_pending.append(buffer, received);
    }
}

std::string Child::readAll()
{
    std::string all;
    all.swap(m_pending);
    char buffer[4096];
    DWORD received = 0;
    while (ReadFile(m_output, buffer, sizeof buffer, &received, nullptr) && received > 0)
        all.append(buffer, received);
    return all;
}

void Child::closeInput()
{
    if (m_input) {
        CloseHandle(m_input);
        m_input = nullptr;
    }
}

DWORD Child::wait()
{
    const DWORD waited = WaitForSingleObject(m_process.hProcess, 60 * 1000);
    if (waited != WAIT_OBJECT_0)
        kill();
    REQUIRE_MESSAGE(waited == WAIT_OBJECT_0, "the helper process did not end within a minute");
    DWORD code = 0;
    REQUIRE(GetExitCodeProcess(m_process.hProcess, &code));
    return code;
}

void Child::kill()
{
    TerminateProcess(m_process.hProcess, 99);
    WaitForSingleObject(m_process.hProcess, 60 * 1000);
}

Finished runSelf(const std::vector<std::string>& arguments)
{
    Child child(arguments);
    child.closeInput();
    std::string output = child.readAll();
    const DWORD code = child.wait();
    return { code, std::move(output) };
}

CapturedStandardError::CapturedStandardError()
    : m_path(temporaryName(L"velmora-stderr-"))
{
    std::fflush(stderr);
    m_saved = _dup(2);
    REQUIRE(m_saved >= 0);
    int file = -1;
    REQUIRE(_wsopen_s(&file, m_path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY,
                      _SH_DENYNO, _S_IREAD | _S_IWRITE)
            == 0);
    REQUIRE(_dup2(file, 2) == 0);
    _close(file);
}

CapturedStandardError::~CapturedStandardError()
{
    restore();
    _wremove(m_path.c_str());
}

void CapturedStandardError::restore()
{
    if (m_saved < 0)
        return;
    std::fflush(stderr);
    _dup2(m_saved, 2);
    _close(m_saved);
    m_saved = -1;
}

std::string CapturedStandardError::text()
{
    if (!m_text) {
        restore();
        std::string bytes;
        if (FILE* file = _wfopen(m_path.c_str(), L"rb")) {
            char buffer[4096];
            size_t count = 0;
            while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                bytes.append(buffer, count);
            std::fclose(file);
        }
        m_text = bytes;
    }
    return *m_text;
}

TemporaryFile::TemporaryFile(const std::string& bytes)
    : m_path(temporaryName(L"velmora-recorded-"))
{
    FILE* file = _wfopen(m_path.c_str(), L"wb");
    REQUIRE(file);
    REQUIRE(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    REQUIRE(std::fclose(file) == 0);
}

TemporaryFile::~TemporaryFile()
{
    _wremove(m_path.c_str());
}

ScopedEnvironment::ScopedEnvironment(const std::wstring& name, const wchar_t* value)
    : m_name(name)
{
    if (const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0)) {
        std::vector<wchar_t> old(size);
        GetEnvironmentVariableW(name.c_str(), old.data(), size);
        m_old = std::wstring(old.data());
    }
    set(value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    set(m_old ? m_old->c_str() : nullptr);
}

void ScopedEnvironment::set(const wchar_t* value)
{
    // The CRT keeps a copy of its own (_popen reads COMSPEC there); "NAME=" removes the name from
    // it, while SetEnvironmentVariableW can also hold a name with an empty text.
    _wputenv((m_name + L"=" + (value ? value : L"")).c_str());
    SetEnvironmentVariableW(m_name.c_str(), value);
}

} // namespace wintest
