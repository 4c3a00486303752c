#include "tests/common/piped_process.h"

#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/text.h"
#include "tests/common/wait_until.h"

#include <mutex>
#include <thread>

struct PipedProcess::Stream {
    UniqueHandle Pipe;    // the read end, read by the reader thread
    UniqueHandle Ended;   // set when the pipe has no writer left
    mutable std::mutex Lock;
    std::string Bytes;

    std::wstring Text() const
    {
        std::string bytes;
        {
            std::lock_guard<std::mutex> hold(Lock);
            bytes = Bytes;
        }
        return WideFromUtf8(bytes);
    }
};

namespace {

// Makes a pipe whose write end the child inherits, and starts the thread that reads it;
// the thread shares the stream, so that it may outlive the PipedProcess. writeEnd stays
// empty when no pipe could be made.
std::shared_ptr<PipedProcess::Stream> StartReading(UniqueHandle& writeEnd)
{
    auto stream = std::make_shared<PipedProcess::Stream>();
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        return stream;
    stream->Pipe.Reset(read);
    writeEnd.Reset(write);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    stream->Ended.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread([stream] {
        char chunk[4096];
        DWORD read = 0;
        while (ReadFile(stream->Pipe.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
            std::lock_guard<std::mutex> hold(stream->Lock);
            stream->Bytes.append(chunk, read);
        }
        SetEvent(stream->Ended.Get());
    }).detach();
    return stream;
}

}  // namespace

PipedProcess::PipedProcess(const std::wstring& commandLine, DWORD creationFlags)
{
    UniqueHandle outputWrite;
    UniqueHandle errorsWrite;
    m_output = StartReading(outputWrite);
    m_errors = StartReading(errorsWrite);
    m_job = CreateKillOnCloseJob();

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = outputWrite.Get();
    startup.hStdError = errorsWrite.Get();
    if (outputWrite && errorsWrite)
        m_info = StartInJob(m_job.Get(), commandLine, /*inheritHandles=*/TRUE, creationFlags, startup);
    // The write ends close here: only the child holds them now, and the readers see the
    // end when it is gone.
}

PipedProcess::~PipedProcess() { EndJob(m_job.Get(), m_info); }

DWORD PipedProcess::Wait(DWORD timeoutMs)
{
    if (!m_info || !m_output->Ended || !m_errors->Ended)
        return ~0u;
    const HANDLE all[] = {m_info.Process(), m_output->Ended.Get(), m_errors->Ended.Get()};
    if (WaitForMultipleObjects(3, all, /*bWaitAll=*/TRUE, timeoutMs) != WAIT_OBJECT_0)
        return ~0u;
    DWORD code = ~0u;
    GetExitCodeProcess(m_info.Process(), &code);
    return code;
}

DWORD PipedProcess::WaitForExit(DWORD timeoutMs)
{
    if (!m_info || WaitForSingleObject(m_info.Process(), timeoutMs) != WAIT_OBJECT_0)
        return ~0u;
    if (m_output->Ended && m_errors->Ended) {
        const HANDLE streams[] = {m_output->Ended.Get(), m_errors->Ended.Get()};
        WaitForMultipleObjects(2, streams, /*bWaitAll=*/TRUE, 1000);
    }
    DWORD code = ~0u;
    GetExitCodeProcess(m_info.Process(), &code);
    return code;
}

std::wstring PipedProcess::Output() const { return m_output->Text(); }
std::wstring PipedProcess::Errors() const { return m_errors->Text(); }

bool PipedProcess::WaitForErrors(const std::wstring& text, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Errors().find(text) != std::wstring::npos; }, timeoutMs);
}

ProductRun RunProductPiped(const std::wstring& arguments, DWORD timeoutMs)
{
    PipedProcess process(ProductCommand(arguments));
    ProductRun run;
    run.ExitCode = process.WaitForExit(timeoutMs);
    run.Output = process.Output();
    run.Errors = process.Errors();
    return run;
}
