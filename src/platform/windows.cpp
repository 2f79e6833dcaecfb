// SPDX-License-Identifier: BSD-2-Clause
// The platform interface on Windows, with the system's own calls. Every name
// the rest of the program passes is UTF-8; it becomes UTF-16 here alone, for
// the wide calls, so that any name the file system holds can be used.
#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace {

constexpr size_t HUGE_PAGE = size_t{2} << 20;
constexpr size_t THREAD_STACK = size_t{1} << 20;

std::wstring wide(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), length);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

std::string narrow(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

HANDLE handle_of(FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

// Opens what stands under `path` only to ask about it: no access, every
// sharing, folders too.
HANDLE open_for_information(const std::wstring& path, DWORD flags) {
    return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool identity_of(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE handle = open_for_information(path, 0);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool got = GetFileInformationByHandle(handle, info) != 0;
    CloseHandle(handle);
    return got;
}

bool is_absent_error(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The full path of `leaf` in `folder`. A full path, because a bare name in
// some calls (MoveFileExW under wine) is taken from the program's folder.
std::wstring path_in(const Folder& folder, const char* leaf) {
    std::wstring base;
    if (folder.fd == CURRENT_FOLDER) {
        const DWORD length = GetCurrentDirectoryW(0, nullptr);
        base.resize(length);
        const DWORD got = GetCurrentDirectoryW(length, base.data());
        base.resize(got);
    } else {
        const HANDLE handle = reinterpret_cast<HANDLE>(folder.fd);
        const DWORD length = GetFinalPathNameByHandleW(handle, nullptr, 0, VOLUME_NAME_DOS);
        base.resize(length);
        const DWORD got = GetFinalPathNameByHandleW(handle, base.data(), length, VOLUME_NAME_DOS);
        base.resize(got < length ? got : 0);
    }
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    return base + wide(leaf);
}

// A FILE* over a handle of CreateFileW; the handle is the stream's then.
FILE* stream_of(HANDLE handle, const char* mode) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

// Creates `path` where nothing stands under it, through no link.
HANDLE create_new(const std::wstring& path, bool read_too) {
    return CreateFileW(path.c_str(), GENERIC_WRITE | (read_too ? GENERIC_READ : 0), FILE_SHARE_READ, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool exists_error(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

struct ThreadStart {
    void (*run)(void* argument);
    void* argument;
};

unsigned __stdcall thread_entry(void* argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    start.run(start.argument);
    return 0;
}

}  // namespace

size_t block_memory_size(size_t size) {
    if (size < HUGE_PAGE || size > SIZE_MAX - HUGE_PAGE) return size;
    return (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
}

// The system's pages: committed now, touched (and paid for) on first use.
void* allocate_huge_memory(size_t size) {
    if (size > SIZE_MAX - HUGE_PAGE) return nullptr;
    const size_t whole = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    return VirtualAlloc(nullptr, whole, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void* allocate_block_memory(size_t size) {
    if (size == 0) size = 1;
    if (size > SIZE_MAX - HUGE_PAGE) return nullptr;
    return VirtualAlloc(nullptr, block_memory_size(size), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release_block_memory(void* memory) {
    if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
}

// Only advice on Linux; here a file grows as it is written.
void reserve_file_space(FILE*, uint64_t, uint64_t) {}

namespace {
void install_interrupt_removal();
}  // namespace

void open_standard_descriptors() {
    // From the start, so that an interrupt ends every run alike, also one
    // that comes before the first file: the system's own handler would end
    // it with ExitProcess, and wine's with the status of success.
    install_interrupt_removal();
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) >= 0) continue;
        const int opened = _wopen(L"NUL", _O_RDWR | _O_BINARY);
        if (opened >= 0 && opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
    // A process started without a standard handle has its stream on no
    // descriptor at all (-2), and every write to it fails: it is put on the
    // descriptor just opened, as on Linux. The C runtime's freopen refuses
    // such a stream (wine's does), so where the stream's fields are known
    // it is set directly.
    FILE* const streams[] = {stdin, stdout, stderr};
    for (int fd = 0; fd <= 2; ++fd) {
        if (_fileno(streams[fd]) >= 0 || _get_osfhandle(fd) < 0) continue;
        if (_wfreopen(L"NUL", fd == 0 ? L"rb" : L"wb", streams[fd]) == nullptr) {
#if !defined(_UCRT)
            streams[fd]->_file = fd;
#endif
        }
        std::clearerr(streams[fd]);
    }
    // The screens are the same bytes as on Linux: no "\r" before each "\n",
    // and UTF-8 names shown as such on a console.
    _setmode(_fileno(stdout), _O_BINARY);
    DWORD mode = 0;
    if (GetConsoleMode(handle_of(stdout), &mode) != 0) SetConsoleOutputCP(CP_UTF8);
}

// A write to a closed pipe fails here and ends nothing.
void ignore_broken_pipes() {}

bool is_standard_output(const char* path) {
    BY_HANDLE_FILE_INFORMATION out_info{};
    BY_HANDLE_FILE_INFORMATION path_info{};
    const HANDLE out = handle_of(stdout);
    if (out == INVALID_HANDLE_VALUE || GetFileInformationByHandle(out, &out_info) == 0) return false;
    return identity_of(wide(path), &path_info) && same_identity(out_info, path_info);
}

bool path_exists(const char* path) {
    if (GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    return !is_absent_error(GetLastError());
}

FILE* open_input_file(const char* path) {
    FILE* file = _wfopen(wide(path).c_str(), L"rb");
    BY_HANDLE_FILE_INFORMATION info{};
    if (file != nullptr && (GetFileInformationByHandle(handle_of(file), &info) == 0 ||
                            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        std::fclose(file);
        file = nullptr;
    }
    return file;
}

FILE* open_file(const char* path, const char* mode) {
    if (std::strchr(mode, 'x') == nullptr) return _wfopen(wide(path).c_str(), wide(mode).c_str());
    // The C library here knows no "x": the system refuses an existing name.
    const HANDLE handle = create_new(wide(path), std::strchr(mode, '+') != nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = exists_error(GetLastError()) ? EEXIST : EACCES;
        return nullptr;
    }
    std::string plain;
    for (const char* c = mode; *c != '\0'; ++c) {
        if (*c != 'x') plain += *c;
    }
    return stream_of(handle, plain.c_str());
}

int seek_file(FILE* file, int64_t offset, int whence) { return _fseeki64(file, offset, whence); }

int64_t tell_file(FILE* file) { return _ftelli64(file); }

bool is_seekable(FILE* file) { return GetFileType(handle_of(file)) == FILE_TYPE_DISK; }

bool same_file(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION a_info{};
    BY_HANDLE_FILE_INFORMATION b_info{};
    return identity_of(wide(a), &a_info) && identity_of(wide(b), &b_info) && same_identity(a_info, b_info);
}

uint64_t physical_memory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) != 0 ? status.ullTotalPhys : 0;
}

bool truncate_file(FILE* file, uint64_t length) {
    return std::fflush(file) == 0 && length <= INT64_MAX && _chsize_s(_fileno(file), static_cast<int64_t>(length)) == 0;
}

namespace {

void close_folder(Folder* folder) {
    if (folder->fd != CURRENT_FOLDER) CloseHandle(reinterpret_cast<HANDLE>(folder->fd));
    folder->fd = CURRENT_FOLDER;
    for (const FolderHandle handle : folder->above) CloseHandle(reinterpret_cast<HANDLE>(handle));
    folder->above.clear();
}

// True when the folder open under `handle` is called `part` (in any case,
// as the file system compares names). An 8.3 alias such as "LONGFO~1" opens
// the folder of a longer name, which is not the one the archive names.
bool real_name_is(HANDLE handle, const std::string& part) {
    const DWORD length = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return false;
    std::wstring real(length, L'\0');
    const DWORD got = GetFinalPathNameByHandleW(handle, real.data(), length, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0 || got >= length) return false;
    real.resize(got);
    const size_t slash = real.find_last_of(L'\\');
    const std::wstring last = slash == std::wstring::npos ? real : real.substr(slash + 1);
    return CompareStringOrdinal(last.c_str(), -1, wide(part.c_str()).c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

Folder::~Folder() { close_folder(this); }

FolderState open_parent_folder(const char* path, Folder* folder, const char** leaf) {
    close_folder(folder);
    std::string part;
    for (const char* start = path;;) {
        const char* end = start;
        while (*end != '\0' && *end != '/' && *end != '\\') ++end;
        if (*end == '\0') {
            *leaf = start;
            return FolderState::kOpen;
        }
        part.assign(start, static_cast<size_t>(end - start));
        start = end + 1;
        if (part.empty()) continue;
        // The link itself is opened, not what it leads to; held without
        // FILE_SHARE_DELETE, the folder cannot be renamed or replaced while
        // its files are made.
        const HANDLE next =
            CreateFileW(path_in(*folder, part.c_str()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (next == INVALID_HANDLE_VALUE) return FolderState::kFailed;
        BY_HANDLE_FILE_INFORMATION info{};
        const bool got = GetFileInformationByHandle(next, &info) != 0;
        if (!got || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            CloseHandle(next);
            return got && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FolderState::kThroughLink
                                                                                      : FolderState::kFailed;
        }
        if (!real_name_is(next, part)) {
            CloseHandle(next);
            return FolderState::kThroughLink;
        }
        if (folder->fd != CURRENT_FOLDER) folder->above.push_back(folder->fd);
        folder->fd = reinterpret_cast<FolderHandle>(next);
    }
}

NameState name_state(const Folder& folder, const char* leaf) {
    if (GetFileAttributesW(path_in(folder, leaf).c_str()) != INVALID_FILE_ATTRIBUTES) return NameState::kExists;
    return is_absent_error(GetLastError()) ? NameState::kAbsent : NameState::kFailed;
}

namespace {

// The one temporary file of the run, for the console handler: its full
// path, set before the file exists, armed once it does.
volatile LONG pending_armed = 0;
wchar_t pending_path[32768];
// Held while the file is made and armed, and taken by the handler, which
// runs on a thread of its own: an interrupt between the two waits for the
// file to be armed instead of leaving it behind.
SRWLOCK pending_lock = SRWLOCK_INIT;

// Ctrl-C, Ctrl-Break and closing the console remove it, and the process
// ends at once with STATUS_CONTROL_C_EXIT, as a signal ends it on Linux.
// Not through the system's own handler: its ExitProcess flushes standard
// output first, which waits for ever on a screen pipe that nobody reads
// (and wine's ends the process with 0, as if the run had succeeded).
BOOL WINAPI remove_pending_on_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    AcquireSRWLockExclusive(&pending_lock);
    if (InterlockedCompareExchange(&pending_armed, 0, 0) != 0) {
        SetFileAttributesW(pending_path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(pending_path);
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

void install_interrupt_removal() {
    static bool installed = false;
    if (!installed) installed = SetConsoleCtrlHandler(remove_pending_on_interrupt, TRUE) != 0;
}

// Under pending_lock.
void arm_interrupt_removal(const std::wstring& path) {
    const size_t length = path.size() < 32767 ? path.size() : 32767;
    std::memcpy(pending_path, path.c_str(), length * sizeof(wchar_t));
    pending_path[length] = L'\0';
    InterlockedExchange(&pending_armed, 1);
}

void disarm_interrupt_removal(PendingFile* pending) {
    InterlockedExchange(&pending_armed, 0);
    pending->exists = false;
}

// 100-ns ticks since 1601 as whole seconds and nanoseconds, and back.
void split_time(const FILETIME& time, FileAttributes* attributes) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    attributes->modified_seconds = static_cast<int64_t>(ticks / 10000000u);
    attributes->modified_nanoseconds = static_cast<int64_t>(ticks % 10000000u) * 100;
}

LARGE_INTEGER joined_time(const FileAttributes& attributes) {
    LARGE_INTEGER time{};
    time.QuadPart = attributes.modified_seconds * 10000000 + attributes.modified_nanoseconds / 100;
    return time;
}

}  // namespace

FileAttributes file_attributes(FILE* source) {
    FileAttributes attributes;
    const HANDLE handle = handle_of(source);
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return attributes;
    }
    attributes.carried = true;
    // The one permission bit the system keeps: read-only.
    attributes.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    split_time(info.ftLastWriteTime, &attributes);
    return attributes;
}

bool create_pending_file(const Folder& folder, PendingFile* pending) {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t seed = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                    reinterpret_cast<uintptr_t>(pending);
    char* name = pending->name;
    pending->folder = &folder;
    pending->file = nullptr;
    pending->exists = false;
    install_interrupt_removal();  // where open_standard_descriptors was not called
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        std::memcpy(name, "zorv-partial.", 13);
        for (int k = 0; k < 6; ++k) name[13 + k] = digits[(seed >> (16 + 6 * k)) % 36];
        name[19] = '\0';
        const std::wstring path = path_in(folder, name);
        // Shared for deletion, so that the console handler can remove it while it is open.
        AcquireSRWLockExclusive(&pending_lock);
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) arm_interrupt_removal(path);
        ReleaseSRWLockExclusive(&pending_lock);
        if (handle == INVALID_HANDLE_VALUE) {
            if (exists_error(error)) continue;
            return false;
        }
        pending->exists = true;
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = GetFileInformationByHandle(handle, &info) != 0;
        pending->file = known ? stream_of(handle, "wb") : nullptr;
        if (pending->file == nullptr) {
            if (!known) CloseHandle(handle);
            remove_pending_file(pending);
            return false;
        }
        pending->device = info.dwVolumeSerialNumber;
        pending->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        return true;
    }
    return false;
}

uint64_t pending_file_length(PendingFile* pending) {
    if (pending->file != nullptr) {
        std::fflush(pending->file);
        LARGE_INTEGER size{};
        return GetFileSizeEx(handle_of(pending->file), &size) != 0 ? static_cast<uint64_t>(size.QuadPart) : 0;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(path_in(*pending->folder, pending->name).c_str(), GetFileExInfoStandard, &data) == 0)
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool finish_pending_file(PendingFile* pending, const FileAttributes& attributes) {
    FILE* file = pending->file;
    pending->file = nullptr;
    bool whole = std::fflush(file) == 0 && std::ferror(file) == 0;
    if (whole && attributes.carried) {
        // Time and read-only bit on the open handle, before the file takes its name.
        FILE_BASIC_INFO basic{};
        basic.LastWriteTime = joined_time(attributes);
        basic.FileAttributes = (attributes.mode & 0200) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
        (void)SetFileInformationByHandle(handle_of(file), FileBasicInfo, &basic, sizeof basic);
    }
    if (std::fclose(file) != 0) whole = false;
    return whole;
}

Renamed name_pending_file(PendingFile* pending, const char* to, bool replace) {
    const std::wstring from = path_in(*pending->folder, pending->name);
    // The temporary name must still lead to the file that was written, not to a link put there.
    const HANDLE handle = open_for_information(from, FILE_FLAG_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if (!known || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.dwVolumeSerialNumber != pending->device || index != pending->inode) {
        disarm_interrupt_removal(pending);
        return Renamed::kReplaced;
    }
    // Without MOVEFILE_REPLACE_EXISTING the system refuses an existing name
    // in the same step as the rename; with it, a link there is replaced.
    Renamed renamed = Renamed::kDone;
    if (MoveFileExW(from.c_str(), path_in(*pending->folder, to).c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) ==
        0) {
        renamed = exists_error(GetLastError()) ? Renamed::kExists : Renamed::kFailed;
    }
    if (renamed == Renamed::kDone) disarm_interrupt_removal(pending);
    return renamed;
}

void keep_pending_file(PendingFile* pending) {
    if (pending->file != nullptr) {
        std::fclose(pending->file);
        pending->file = nullptr;
    }
    disarm_interrupt_removal(pending);
}

void remove_pending_file(PendingFile* pending) {
    if (pending->file != nullptr) {
        std::fclose(pending->file);
        pending->file = nullptr;
    }
    if (pending->exists) {
        const std::wstring path = path_in(*pending->folder, pending->name);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
    disarm_interrupt_removal(pending);
}

bool open_output_folder(const char* path, Folder* folder, const char** leaf) {
    close_folder(folder);
    const char* last = nullptr;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\' || (*c == ':' && c == path + 1)) last = c;
    }
    if (last == nullptr) {
        *leaf = path;
        return true;
    }
    *leaf = last + 1;
    // "C:" alone names the drive's current folder, "\" the drive's root.
    std::string part(path, static_cast<size_t>(last - path) + (*last == ':' || last == path ? 1 : 0));
    if (*last == ':') part += '.';
    const HANDLE handle = CreateFileW(wide(part.c_str()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    folder->fd = reinterpret_cast<FolderHandle>(handle);
    return true;
}

OutputKind output_kind(const char* path) {
    const HANDLE handle = open_for_information(wide(path), FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE)
        return is_absent_error(GetLastError()) ? OutputKind::kAbsent : OutputKind::kOther;
    const DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return OutputKind::kDevice;
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return OutputKind::kFolder;
    }
    return OutputKind::kOther;
}

FILE* open_output_in_place(const char* path) { return _wfopen(wide(path).c_str(), L"wb"); }

// No control groups here.
unsigned cgroup_cpu_quota(const char*, const char*) { return 0; }

unsigned usable_cpus() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    unsigned cpus = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0) {
        for (; process != 0; process &= process - 1) ++cpus;
    }
    // 0 where the process spans processor groups (more than 64 CPUs).
    if (cpus == 0) cpus = static_cast<unsigned>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    return cpus > 0 ? cpus : 1;
}

bool start_thread(ThreadHandle* thread, void (*run)(void* argument), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{run, argument};
    if (start == nullptr) return false;
    const uintptr_t handle =
        _beginthreadex(nullptr, THREAD_STACK, thread_entry, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) {
        delete start;
        return false;
    }
    *thread = handle;
    return true;
}

void join_thread(ThreadHandle thread) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

int run_with_utf8_arguments(int argc, wchar_t** argv, int (*program)(int argc, char** argv)) {
    std::string* texts = new (std::nothrow) std::string[static_cast<size_t>(argc) + 1];
    char** utf8 = new (std::nothrow) char*[static_cast<size_t>(argc) + 1];
    if (texts == nullptr || utf8 == nullptr) return 255;
    for (int k = 0; k < argc; ++k) {
        texts[k] = narrow(argv[k]);
        utf8[k] = texts[k].data();
    }
    utf8[argc] = nullptr;
    const int status = program(argc, utf8);
    delete[] utf8;
    delete[] texts;
    // -1 ends a process with 255 on Linux; here it would be 0xFFFFFFFF.
    return status == -1 ? 255 : status;
}

#endif
