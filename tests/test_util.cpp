// SPDX-License-Identifier: BSD-2-Clause
#include "test_util.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace test_util {

namespace fs = std::filesystem;

namespace {

// The words that start the built program with `args`: under emulation the
// emulator's words come first, since this host cannot execute the program.
std::vector<std::string> zorv_command(const std::vector<std::string>& args) {
    std::vector<std::string> words;
#if defined(ZORV_TEST_EMULATOR)
    std::string emulator = ZORV_TEST_EMULATOR;
    for (size_t at = 0; at < emulator.size();) {
        const size_t end = std::min(emulator.find(' ', at), emulator.size());
        if (end > at) words.push_back(emulator.substr(at, end - at));
        at = end + 1;
    }
#endif
    words.push_back(ZORV_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

}  // namespace

std::string zorv_shell_command() {
    std::string command;
    for (const std::string& word : zorv_command({})) command += (command.empty() ? "'" : " '") + word + "'";
    return command;
}

#if defined(_WIN32)

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return L"";
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), count);
    return result;
}

// The build names the program by its path on the Linux host, which wine
// shows as drive Z:.
std::string windows_path(std::string path) {
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// One argument as the C runtime's command-line parser splits it back:
// backslashes double only before a quote.
void append_quoted(std::wstring* line, const std::wstring& word) {
    if (!line->empty()) line->push_back(L' ');
    line->push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line->push_back(c);
    }
    line->append(2 * backslashes, L'\\');
    line->push_back(L'"');
}

void drain(HANDLE pipe, std::string* into) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
}

// Starts the program with the given standard handles, which it inherits
// (nullptr: none). Under wine a start now and then fails while another
// test process starts or ends; a few tries make it certain.
bool launch(const std::vector<std::string>& args, const std::string& cwd, HANDLE in, HANDLE out, HANDLE err,
            DWORD flags, PROCESS_INFORMATION* process, DWORD* error) {
    const std::wstring program = wide(windows_path(ZORV_BINARY));
    std::wstring line;
    append_quoted(&line, program);
    for (const std::string& arg : args) append_quoted(&line, wide(arg));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    const std::wstring folder = wide(cwd);
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) Sleep(50);
        if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                           cwd.empty() ? nullptr : folder.c_str(), &startup, process))
            return true;
        *error = GetLastError();
    }
    return false;
}

HANDLE open_null(DWORD access) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

RunResult run_zorv(const std::vector<std::string>& args, const std::string& cwd) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return {"", "pipe failed", -1};
    if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
        CloseHandle(out_read);
        CloseHandle(out_write);
        return {"", "pipe failed", -1};
    }
    // Only the write ends go to the program, or the reads here never end.
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_in = open_null(GENERIC_READ);
    PROCESS_INFORMATION process{};
    DWORD error = 0;
    const bool started = launch(args, cwd, null_in, out_write, err_write, 0, &process, &error);
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
    RunResult result{"", "", -1};
    if (started) {
        // Both pipes at once: a program that fills one while the other is
        // read would wait forever.
        std::thread errors(drain, err_read, &result.err);
        drain(out_read, &result.out);
        errors.join();
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code) && code <= 255) result.status = static_cast<int>(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    } else {
        result.err = "CreateProcessW failed: error " + std::to_string(error);
    }
    CloseHandle(out_read);
    CloseHandle(err_read);
    return result;
}

Started start_zorv(const std::vector<std::string>& args, const std::string& cwd, const StartOptions& options) {
    HANDLE null_in = options.in == nullptr ? open_null(GENERIC_READ) : nullptr;
    HANDLE null_out = options.out == nullptr || options.err == nullptr ? open_null(GENERIC_WRITE) : nullptr;
    auto chosen = [](void* handle, HANDLE null) {
        return handle == kNoHandle ? nullptr : handle == nullptr ? null : static_cast<HANDLE>(handle);
    };
    DWORD flags = options.flags;
    if (options.one_cpu) flags |= CREATE_SUSPENDED;
    PROCESS_INFORMATION process{};
    DWORD error = 0;
    Started started;
    if (launch(args, cwd, chosen(options.in, null_in), chosen(options.out, null_out), chosen(options.err, null_out),
               flags, &process, &error)) {
        // Held before its first instruction, so that it counts one CPU from the start.
        if (options.one_cpu) {
            SetProcessAffinityMask(process.hProcess, 1);
            ResumeThread(process.hThread);
        }
        CloseHandle(process.hThread);
        started.process = process.hProcess;
        started.id = process.dwProcessId;
    }
    if (null_in != nullptr && null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
    if (null_out != nullptr && null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
    return started;
}

int wait_zorv(Started* run, unsigned long milliseconds) {
    if (run->process == nullptr) return -1;
    if (WaitForSingleObject(run->process, milliseconds) != WAIT_OBJECT_0) return -2;
    DWORD code = 0;
    const int status = GetExitCodeProcess(run->process, &code) ? static_cast<int>(code) : -1;
    CloseHandle(run->process);
    run->process = nullptr;
    return status;
}

void end_zorv(const Started& run, unsigned code) {
    if (run.process != nullptr) TerminateProcess(run.process, code);
}

bool interrupt_zorv(const Started& run, unsigned event) {
    // kernel32 lies at the same address in every process of the session.
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
    if (run.process == nullptr || routine == nullptr) return false;
    const HANDLE thread = CreateRemoteThread(run.process, nullptr, 0, routine,
                                             reinterpret_cast<void*>(static_cast<uintptr_t>(event)), 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}

NamedPipe::NamedPipe(bool to_program, int instances) {
    std::random_device entropy;
    name_ = "\\\\.\\pipe\\zorv-test-" + std::to_string(entropy()) + "-" + std::to_string(GetCurrentProcessId());
    for (int k = 0; k < instances; ++k) {
        ends_.push_back(CreateNamedPipeW(wide(name_).c_str(), to_program ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0,
                                         nullptr));
        connected_.push_back(false);
    }
}

NamedPipe::~NamedPipe() { close(); }

void NamedPipe::close() {
    for (void*& end : ends_) {
        if (end != INVALID_HANDLE_VALUE && end != nullptr) CloseHandle(end);
        end = nullptr;
    }
}

bool NamedPipe::connect(int k) {
    if (!connected_[k])
        connected_[k] = ConnectNamedPipe(ends_[k], nullptr) != 0 || GetLastError() == ERROR_PIPE_CONNECTED;
    return connected_[k];
}

bool NamedPipe::send(const std::vector<uint8_t>& bytes, size_t from, size_t to, int k) {
    if (!connect(k)) return false;
    while (from < to) {
        DWORD put = 0;
        if (!WriteFile(ends_[k], bytes.data() + from, static_cast<DWORD>(to - from), &put, nullptr) || put == 0)
            return false;
        from += put;
    }
    return true;
}

size_t NamedPipe::take(uint8_t* into, size_t count, int k) {
    size_t at = 0;
    if (!connect(k)) return 0;
    for (DWORD got = 0;
         at < count && ReadFile(ends_[k], into + at, static_cast<DWORD>(count - at), &got, nullptr) && got > 0;)
        at += got;
    return at;
}

TempDir::TempDir() {
    std::random_device entropy;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("zorv-test-" + std::to_string(entropy()));
        std::error_code error;
        if (fs::create_directory(candidate, error)) path_ = candidate.string();
    }
}

#else

void exec_zorv(const std::vector<std::string>& args) {
    std::vector<std::string> words = zorv_command(args);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
}

RunResult run_zorv(const std::vector<std::string>& args, const std::string& cwd) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {"", "pipe failed", -1};
    pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_zorv(args);
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult result{"", "", -1};
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_count;
            } else {
                (k == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(got));
            }
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zorv-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made != nullptr ? made : "";
}

#endif

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    // Tests may leave folders without write permission behind; open them first.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
#if defined(_WIN32)
        // and read-only files, which the system does not delete.
        else
            SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
    }
    fs::remove_all(path_, ignored);
}

namespace {

// A path of the tests' own, in UTF-8, as the system's calls take it: on
// Windows a narrow name would be read in the ANSI code page.
fs::path native(const std::string& path) {
#if defined(_WIN32)
    return fs::path(std::u8string(path.begin(), path.end()));
#else
    return fs::path(path);
#endif
}

}  // namespace

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(native(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(native(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_file(const std::string& path, const std::string& text) { write_file(path, bytes_of(text)); }

bool file_exists(const std::string& path) {
    std::error_code ignored;
    const fs::file_type type = fs::symlink_status(native(path), ignored).type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

std::string corpus_dir() {
    std::error_code ignored;
    return fs::is_directory(ZORV_CORPUS_DIR, ignored) ? std::string(ZORV_CORPUS_DIR) : std::string();
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    std::string dir = corpus_dir();
    if (dir.empty()) return files;
    std::error_code ignored;
    for (auto& entry : fs::recursive_directory_iterator(dir, ignored))
        if (entry.is_regular_file(ignored)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(generator() >> 24);
    return bytes;
}

std::vector<uint8_t> bytes_of(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

#if !defined(_WIN32)
int wait_for(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}
#endif

std::vector<std::string> temporary_files(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("zorv-partial.", 0) == 0) names.push_back(name);
    }
    return names;
}

std::map<std::string, std::string> kept_parts(const std::string& screen) {
    std::map<std::string, std::string> parts;
    const std::string head = "Kept the restored part of ";
    for (size_t at = screen.find(head); at != std::string::npos; at = screen.find(head, at + 1)) {
        const size_t end = screen.find(".\n", at);
        const size_t as = screen.rfind(" as ", end);
        if (end == std::string::npos || as == std::string::npos || as < at) continue;
        parts[screen.substr(as + 4, end - as - 4)] = screen.substr(at + head.size(), as - at - head.size());
    }
    return parts;
}

std::string without_temporary_names(std::string text) {
    const std::string prefix = "zorv-partial.";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        if (at + prefix.size() + 6 <= text.size()) text.replace(at + prefix.size(), 6, "XXXXXX");
    }
    return text;
}

#if defined(_WIN32)

std::string host_file(const std::string& path) { return "Z:" + path; }

SmallDisk::SmallDisk() {
    const char* folder = std::getenv("ZORV_TEST_SMALL_DISK");
    std::error_code ignored;
    if (folder == nullptr || !fs::is_directory(folder, ignored)) return;
    lock_ = CreateMutexW(nullptr, FALSE, L"zorv-test-small-disk");
    // Abandoned by a test that ended early: the disk is emptied below.
    if (lock_ == nullptr || WaitForSingleObject(lock_, INFINITE) == WAIT_FAILED) return;
    path_ = folder;
    for (const auto& entry : fs::directory_iterator(path_, ignored)) fs::remove_all(entry.path(), ignored);
}

SmallDisk::~SmallDisk() {
    std::error_code ignored;
    if (!path_.empty()) {
        for (const auto& entry : fs::directory_iterator(path_, ignored)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
            fs::remove_all(entry.path(), ignored);
        }
    }
    if (lock_ != nullptr) {
        ReleaseMutex(lock_);
        CloseHandle(lock_);
    }
}

const char* SmallDisk::missing() {
    return "Windows has no file size limit, and no small disk to fill is given (ZORV_TEST_SMALL_DISK; "
           "make test-windows mounts one as root)";
}

bool SmallDisk::fill() {
    ULARGE_INTEGER free_bytes{};
    if (path_.empty() || !GetDiskFreeSpaceExW(wide(path_).c_str(), &free_bytes, nullptr, nullptr) ||
        free_bytes.QuadPart > (uint64_t{64} << 20))
        return false;
    const HANDLE filler = CreateFileW(wide(file("filler")).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (filler == INVALID_HANDLE_VALUE) return false;
    // Ever smaller writes, down to single bytes, until not one more fits.
    const std::vector<char> zeros(65536);
    for (DWORD size = 65536; size > 0; size /= 16) {
        DWORD written = size;
        while (written == size && WriteFile(filler, zeros.data(), size, &written, nullptr)) {
        }
    }
    DWORD written = 0;
    const bool full = !WriteFile(filler, zeros.data(), 1, &written, nullptr) || written == 0;
    CloseHandle(filler);
    return full;
}

RunResult run_limited(const std::vector<std::string>&, const std::string&, int, rlim_t) {
    return {"", "resource limits are not available on Windows", -1};
}

FileSizeLimit::FileSizeLimit(rlim_t) {}

FileSizeLimit::~FileSizeLimit() {}

#else

std::string host_file(const std::string& path) { return path; }

RunResult run_limited(const std::vector<std::string>& args, const std::string& cwd, int resource, rlim_t limit) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return {"", "pipe failed", -1};
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        dup2(out_pipe[1], 1);
        close(out_pipe[0]);
        signal(SIGXFSZ, SIG_IGN);
        rlimit value{limit, limit};
        if (setrlimit(resource, &value) != 0) _exit(126);
        exec_zorv(args);
        _exit(127);
    }
    close(out_pipe[1]);
    RunResult result{"", "", -1};
    char buffer[4096];
    for (ssize_t got; (got = read(out_pipe[0], buffer, sizeof buffer)) > 0;)
        result.out.append(buffer, static_cast<size_t>(got));
    close(out_pipe[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    saved_handler_ = signal(SIGXFSZ, SIG_IGN);
}

FileSizeLimit::~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, saved_handler_);
}
#endif

std::string capture_output(const std::string& cwd, const std::function<int()>& command, int* status) {
    const std::string home = fs::current_path().string();
    std::FILE* sink = std::tmpfile();
    std::fflush(stdout);
#if defined(_WIN32)
    const int saved = _dup(_fileno(stdout));
    _dup2(_fileno(sink), _fileno(stdout));
#else
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
#endif
    fs::current_path(cwd);
    *status = command();
    std::fflush(stdout);
    fs::current_path(home);
#if defined(_WIN32)
    _dup2(saved, _fileno(stdout));
    _close(saved);
#else
    dup2(saved, STDOUT_FILENO);
    close(saved);
#endif
    std::string text;
    std::rewind(sink);
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, sink)) > 0;) text.append(buffer, got);
    std::fclose(sink);
    return text;
}

}  // namespace test_util
