# Checks the shared library's exports: every public function and member
# function (private and protected ones included) is exported, and nothing else
# is; StartThread and StopThread under their plain names.
# Run with: cmake -DLIBRARY=... [-DOBJDUMP=...] -P check_exports.cmake
# Linux: the dynamic symbol table (nm). Windows: with OBJDUMP, the DLL's export
# name table, demangled with c++filt; both give "<value> <kind> <name>" lines.

if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${LIBRARY}")
  endif()
  # The name table: lines "\t[   n] name" after "[Ordinal/Name Pointer] Table".
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "no export name table in ${LIBRARY}")
  endif()
  string(SUBSTRING "${dump}" ${at} -1 dump)
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" entries "${dump}")
  set(names "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${entry}")
    string(APPEND names "${name}\n")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/exports-names.txt "${names}")
  execute_process(COMMAND c++filt INPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/exports-names.txt
    OUTPUT_VARIABLE demangled RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "c++filt failed")
  endif()
  string(REGEX REPLACE "([^\n]+)" "0 T \\1" table "${demangled}")
else()
  execute_process(COMMAND nm -D -C --defined-only ${LIBRARY}
    OUTPUT_VARIABLE table RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
  endif()
endif()
string(REPLACE "\n" ";" lines "${table}")

# What may be exported: members of the exported classes (static data members
# included), their virtual tables and type information, the Thread functions
# the three free functions and the two version functions. Nothing else, whatever the compiler: no
# standard-library template code that the library happened to instantiate, no
# sanitizer markers.
set(allowed "^(ThreadMutex|ThreadEvent|ThreadBase|TimerManager|Semaphore|TimersAndEventManager)::"
            "^(vtable|typeinfo|typeinfo name) for (ThreadBase|TimerManager)$"
            "^Thread::"
            "^GetSystemUptime\\(\\)$" "^StartThread$" "^StopThread$"
            "^GetRvsysutilsVersion$" "^GetRvsysutilsVersionString$")
set(unexpected "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" symbol "${line}")
  set(ok FALSE)
  foreach(pattern IN LISTS allowed)
    if(symbol MATCHES "${pattern}")
      set(ok TRUE)
    endif()
  endforeach()
  if(NOT ok)
    list(APPEND unexpected "${symbol}")
  endif()
endforeach()
if(unexpected)
  list(JOIN unexpected "\n  " text)
  message(FATAL_ERROR "symbols exported that should be hidden:\n  ${text}")
endif()

# Private and protected members are exported too.
foreach(required
    "ThreadBase::MainThreadRoutine(ThreadBase*)" "ThreadBase::Cleanup()" "ThreadBase::Run()"
    "ThreadBase::Initialize()" "ThreadBase::Destroy()" "ThreadBase::IsOwnThread()"
    "ThreadEvent::Wait(unsigned long, _RTL_CRITICAL_SECTION*, bool)"
    "ThreadMutex::operator bool() const" "Thread::Sleep(unsigned long)" "GetSystemUptime()"
    "TimerManager::ClearQueues()" "TimerManager::Run()" "TimerManager::ReleaseOwned()"
    "Semaphore::Cleanup()" "Semaphore::SemaphoreCleaner(int)" "Semaphore::ShowError() const"
    "Semaphore::ErrorEx(char const*)" "Semaphore::FormatErrorMessageEx(char const*)"
    "Semaphore::mHandleMap[abi:cxx11]"
    "Semaphore::mIsRegistered" "Semaphore::mErrorMessage[abi:cxx11]"
    "Thread::GetCommandLineA(char*, unsigned int, bool, bool, bool)"
    "StartThread" "StopThread" "GetRvsysutilsVersion" "GetRvsysutilsVersionString"
    "TimersAndEventManager::GetCurrentTimeInMilliSec()" "TimersAndEventManager::ProcessPendingActions(bool)"
    "TimersAndEventManager::ClearPendingEventsFromCallback()")
  string(FIND "${table}" " ${required}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not exported: ${required}")
  endif()
endforeach()
message(STATUS "exports ok")
