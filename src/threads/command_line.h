// The work of Thread::GetCommandLineA on a given line, so that tests can feed
// it any line.
#ifndef RVSYS_THREADS_COMMAND_LINE_H
#define RVSYS_THREADS_COMMAND_LINE_H

namespace rvsys::detail {

// Thread::GetCommandLineA with `line` in place of the process's command line.
// `line` is never changed. Returns -1 also when memory for the working copy
// runs out.
int CopyCommandLine(const char* line, char* buffer, unsigned int size, bool includeProgramName,
                    bool firstArgumentOnly, bool programNameOnly);

}  // namespace rvsys::detail

#endif  // RVSYS_THREADS_COMMAND_LINE_H
