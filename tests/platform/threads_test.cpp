// Conformance of critical sections.
#include "conformance.h"

// The holder re-enters through Enter and TryEnter and must leave as often
// before another thread gets in.
TEST(CriticalSections, TheHolderMustLeaveAsOftenAsItEntered) {
    CRITICAL_SECTION cs;
    pf::InitializeCriticalSection(&cs);
    const auto othersGetIn = [&] {
        BOOL taken = FALSE;
        std::thread([&] {
            if ((taken = pf::TryEnterCriticalSection(&cs)) != FALSE) pf::LeaveCriticalSection(&cs);
        }).join();
        return taken == TRUE;
    };
    pf::EnterCriticalSection(&cs);
    EXPECT_EQ(pf::TryEnterCriticalSection(&cs), TRUE);
    for (bool last : {false, true}) {
        EXPECT_FALSE(othersGetIn());
        pf::LeaveCriticalSection(&cs);
        EXPECT_EQ(othersGetIn(), last);
    }
    pf::DeleteCriticalSection(&cs);
}
