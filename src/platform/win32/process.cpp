#include <cstdint>
#include <memory>
#include <vector>

#include "platform/os_calls.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform {
namespace {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// Quotes one argument so that the child's command-line parser (the C runtime's
// and CommandLineToArgvW's rules) gives back exactly the original text.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
        else line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

bool same_name(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Our environment with the requested changes, as a CreateProcessW block.
std::wstring environment_block(const ProcessSpec& spec) {
    std::vector<std::pair<std::wstring, std::wstring>> vars;
    if (wchar_t* strings = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring item(entry);
            // Names of drive-current-directory entries start with "=" ("=C:=C:\...").
            const auto eq = item.find(L'=', 1);
            if (eq == std::wstring::npos) continue;
            vars.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
        FreeEnvironmentStringsW(strings);
    }
    for (const auto& [name, value] : spec.env) {
        const std::wstring wide_name = win32::widen(name);
        std::erase_if(vars, [&](const auto& var) { return same_name(var.first, wide_name); });
        if (value) vars.emplace_back(wide_name, win32::widen(*value));
    }
    std::wstring block;
    for (const auto& [name, value] : vars) {
        block += name;
        block += L'=';
        block += value;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

void drain(HANDLE pipe, std::string& sink) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) sink.append(buffer, got);
}

// One pipe read to its end on a thread of its own. The thread holds a share
// of the state: a reader that a process outside our reach keeps blocked is
// left behind without anything it uses going away under it.
struct PipeReader {
    Handle pipe;  // the read end
    std::string data;
};

DWORD WINAPI read_pipe(void* parameter) {
    const std::unique_ptr<std::shared_ptr<PipeReader>> reader(static_cast<std::shared_ptr<PipeReader>*>(parameter));
    drain((*reader)->pipe.get(), (*reader)->data);
    return 0;
}

std::shared_ptr<PipeReader> make_reader(Handle& pipe) {
    auto reader = std::make_shared<PipeReader>();
    *reader->pipe.out() = pipe.release();
    return reader;
}

// The reader's thread handle; null when the thread could not be started.
HANDLE start_reader(const std::shared_ptr<PipeReader>& reader) {
    auto* share = new std::shared_ptr<PipeReader>(reader);
    HANDLE thread = CreateThread(nullptr, 0, read_pipe, share, 0, nullptr);
    if (thread == nullptr) delete share;
    return thread;
}

// How long the clean-up after a stop waits for each thing to end.
constexpr DWORD kStopWaitMs = 1000;

// Milliseconds left until `deadline_ns` (monotonic), 0 when it has passed.
DWORD remaining_ms(std::uint64_t deadline_ns) {
    const std::uint64_t now = monotonic_ns();
    if (now >= deadline_ns) return 0;
    const std::uint64_t ms = (deadline_ns - now + 999999) / 1000000;
    return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// Ends the child and everything in its job, then gives the readers a moment
// to see their pipes end; a reader still blocked then has its read cancelled.
void stop_child(HANDLE job, HANDLE process, const HANDLE (&readers)[2]) {
    if (job != nullptr) TerminateJobObject(job, 1);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, kStopWaitMs);
    const DWORD count = readers[1] != nullptr ? 2 : readers[0] != nullptr ? 1 : 0;
    if (count == 0) return;
    if (WaitForMultipleObjects(count, readers, TRUE, kStopWaitMs) < WAIT_OBJECT_0 + count) return;
    for (DWORD i = 0; i < count; ++i) CancelSynchronousIo(readers[i]);
    WaitForMultipleObjects(count, readers, TRUE, kStopWaitMs);
}

}  // namespace

Result<ProcessOutput> os::run_process(const ProcessSpec& spec) {
    const std::string context = "failed to start " + spec.program;
    const auto fail = [&](DWORD code) { return Error(context).with_cause(os_error_text(static_cast<int>(code))); };

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle out_read, out_write, err_read, err_write;
    if (!CreatePipe(out_read.out(), out_write.out(), &inheritable, 0) ||
        !CreatePipe(err_read.out(), err_write.out(), &inheritable, 0))
        return fail(GetLastError());
    // Only the child's ends are inherited.
    SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
    Handle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (null_in.get() == INVALID_HANDLE_VALUE) return fail(GetLastError());

    std::wstring command_line;
    append_quoted(command_line, win32::widen(spec.program));
    for (const auto& arg : spec.args) {
        command_line += L' ';
        append_quoted(command_line, win32::widen(arg));
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_in.get();
    startup.StartupInfo.hStdOutput = out_write.get();
    startup.StartupInfo.hStdError = err_write.get();

    // With a time limit the child runs in a job of its own, so the processes it
    // starts are in it too and can be stopped with it. Whatever is left in the
    // job when its last handle closes is ended with it: a child of ours never
    // outlives us (ended, say, mid-pass) and holds our output streams.
    const bool limited = spec.time_limit.has_value();
    const std::uint64_t limit_ns =
        limited ? static_cast<std::uint64_t>(spec.time_limit->count() < 0 ? 0 : spec.time_limit->count()) * 1000000u
                : 0;
    const std::uint64_t deadline = monotonic_ns() + limit_ns;
    Handle job(limited ? CreateJobObjectW(nullptr, nullptr) : nullptr);
    if (job.get() != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        (void)SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    std::wstring env_block;
    if (!spec.env.empty()) env_block = environment_block(spec);
    const std::wstring working_dir = win32::widen(spec.working_dir);

    // Restrict inheritance to exactly the three standard handles, so no socket
    // or file of ours ever reaches the child even if it was made inheritable.
    // With `into_job` the child is created inside the job: it is never outside
    // it, not even when we are ended while the system is still starting it.
    HANDLE inherited[3] = {null_in.get(), out_write.get(), err_write.get()};
    HANDLE job_list[1] = {job.get()};
    PROCESS_INFORMATION info{};
    const auto create = [&](bool into_job, DWORD flags) {
        SIZE_T list_size = 0;
        InitializeProcThreadAttributeList(nullptr, 2, 0, &list_size);
        std::vector<unsigned char> list_storage(list_size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
        const bool list_ready = list_size > 0 && InitializeProcThreadAttributeList(list, 2, 0, &list_size);
        const bool handles_listed =
            list_ready && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                    sizeof inherited, nullptr, nullptr) != 0;
        const bool jobs_listed = into_job && list_ready &&
                                 UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job_list,
                                                           sizeof job_list, nullptr, nullptr) != 0;
        if (into_job && !jobs_listed) {
            if (list_ready) DeleteProcThreadAttributeList(list);
            return false;
        }
        STARTUPINFOEXW attributed = startup;
        if (handles_listed || jobs_listed) {
            attributed.lpAttributeList = list;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        }
        const BOOL started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, flags,
                                            env_block.empty() ? nullptr : env_block.data(),
                                            working_dir.empty() ? nullptr : working_dir.c_str(),
                                            &attributed.StartupInfo, &info);
        const DWORD error = GetLastError();
        if (list_ready) DeleteProcThreadAttributeList(list);
        SetLastError(error);
        return started != 0;
    };
    const DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    const bool born_in_job = job.get() != nullptr && create(true, flags);
    // A system without job lists (or refusing this one) gets the child
    // suspended until it has been put into the job; a program that is not
    // there is not looked for twice.
    const bool missing = job.get() != nullptr && !born_in_job &&
                         (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
    const bool started =
        born_in_job || (!missing && create(false, job.get() != nullptr ? flags | CREATE_SUSPENDED : flags));
    const DWORD start_error = GetLastError();
    // Our copies of the child's ends must go, or the reads below never see the end.
    out_write.reset();
    err_write.reset();
    null_in.reset();
    if (!started) return fail(start_error);
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (job.get() != nullptr && !born_in_job) {
        // Outside the job (an older system refusing nested jobs) only the child itself can be stopped.
        if (!AssignProcessToJobObject(job.get(), process.get())) job.reset();
        ResumeThread(thread.get());
    }

    // Both pipes are read at the same time: a child that fills one of them while
    // we wait on the other would otherwise block forever.
    const auto out_reader = make_reader(out_read);
    const auto err_reader = make_reader(err_read);
    Handle out_thread(start_reader(out_reader));
    Handle err_thread(start_reader(err_reader));
    const HANDLE readers[2] = {out_thread.get() != nullptr ? out_thread.get() : err_thread.get(),
                               out_thread.get() != nullptr ? err_thread.get() : nullptr};
    if (out_thread.get() == nullptr || err_thread.get() == nullptr) {
        const DWORD error = GetLastError();
        stop_child(job.get(), process.get(), readers);
        return fail(error);
    }

    const HANDLE waits[3] = {process.get(), out_thread.get(), err_thread.get()};
    const DWORD waited = WaitForMultipleObjects(3, waits, TRUE, limited ? remaining_ms(deadline) : INFINITE);
    if (waited >= WAIT_OBJECT_0 + 3) {
        const DWORD error = GetLastError();
        stop_child(job.get(), process.get(), readers);
        if (waited == WAIT_TIMEOUT) return time_limit_error(spec);
        return fail(error);
    }

    ProcessOutput output;
    output.out = std::move(out_reader->data);
    output.err = std::move(err_reader->data);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    output.exit_code = static_cast<int>(code);
    return output;
}

}  // namespace karvo::platform
