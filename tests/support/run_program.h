// SPDX-License-Identifier: Apache-2.0
// Runs a program as a user would, without a shell: its standard output and
// error go to files (the same file for both is allowed), its input is empty.
// The exit code, or -1 when it could not run or did not exit normally.
#ifndef RK_TESTS_SUPPORT_RUN_PROGRAM_H
#define RK_TESTS_SUPPORT_RUN_PROGRAM_H

#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace test_support {

#if defined(_WIN32)

// One argument quoted for the C runtime's command-line parser: backslashes
// are literal except before a quote, where they are doubled.
inline std::string quote_arg(const std::string &a) {
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        q.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        q += c;
    }
    q.append(2 * slashes, '\\');
    return q + "\"";
}

inline int run_program(const std::string &exe, const std::vector<std::string> &args, const std::string &out,
                       const std::string &err) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    auto open_out = [&](const std::string &p) {
        return CreateFileA(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE hout = open_out(out);
    HANDLE herr = err == out ? hout : open_out(err);
    HANDLE hin =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    std::string cmd = quote_arg(exe);
    for (const std::string &a : args) cmd += " " + quote_arg(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hin;
    si.hStdOutput = hout;
    si.hStdError = herr;
    PROCESS_INFORMATION pi{};
    int code = -1;
    // Under wine on a loaded machine a start can fail once for reasons of
    // the emulation's own: try again before calling it a failure, and say
    // why in the error file when it stays one.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 2 && !started; ++attempt) {
        if (attempt) Sleep(200);
        started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    }
    if (!started) {
        const std::string why = "could not start " + exe + ": error " + std::to_string(GetLastError()) + "\n";
        DWORD wrote = 0;
        WriteFile(herr, why.data(), static_cast<DWORD>(why.size()), &wrote, nullptr);
    }
    if (started) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD exit_code = 0;
        if (GetExitCodeProcess(pi.hProcess, &exit_code)) code = static_cast<int>(exit_code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(hin);
    if (herr != hout) CloseHandle(herr);
    CloseHandle(hout);
    return code;
}

#else

inline int run_program(const std::string &exe, const std::vector<std::string> &args, const std::string &out,
                       const std::string &err) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = err == out ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int i = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || i < 0) _exit(127);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

// As run_program, for a program built for the target: a cross build names
// its emulator (qemu-user) in ZEVUD_TARGET_LAUNCHER, which then runs it.
inline int run_target_program(const std::string &exe, const std::vector<std::string> &args,
                              const std::string &out, const std::string &err) {
#if defined(ZEVUD_TARGET_LAUNCHER)
    std::vector<std::string> words;
    std::istringstream split(ZEVUD_TARGET_LAUNCHER);
    for (std::string w; split >> w;) words.push_back(w);
    if (!words.empty()) {
        const std::string launcher = words.front();
        words.erase(words.begin());
        words.push_back(exe);
        words.insert(words.end(), args.begin(), args.end());
        return run_program(launcher, words, out, err);
    }
#endif
    return run_program(exe, args, out, err);
}

}  // namespace test_support

#endif
