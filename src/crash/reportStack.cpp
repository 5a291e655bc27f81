#include "crash/reportStack.h"

#include "crash/stackSwitch.h"

ReportStack::ReportStack() : m_stack(kSize) {}

bool ReportStack::run(void (*fn)(void*), void* arg) {
    if (!valid()) return false;
    quillmark_call_on_stack(fn, arg, m_stack.bottom(), m_stack.size());
    return true;
}
