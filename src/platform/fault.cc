// A fixed table of armed faults, consulted by each faultable call of the Linux layer.
#include "platform/fault.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr unsigned max_faults = 16;

struct armed_fault {
    platform_fault fault;
    unsigned seen;  // matching calls so far
};

armed_fault faults[max_faults];
unsigned fault_count = 0;

}  // namespace

bool platform_fault_arm(const platform_fault& fault) {
    if (fault_count == max_faults) return false;
    faults[fault_count].fault = fault;
    faults[fault_count].seen = 0;
    ++fault_count;
    return true;
}

void platform_fault_clear() { fault_count = 0; }

bool platform_fault_check(const char* call, const wchar_t* name, DWORD* error) {
    for (unsigned i = 0; i < fault_count; ++i) {
        armed_fault& a = faults[i];
        if (std::strcmp(a.fault.call, call) != 0) continue;
        if (a.fault.match != nullptr &&
            (name == nullptr || std::wcsstr(name, a.fault.match) == nullptr)) {
            continue;
        }
        ++a.seen;
        unsigned nth = a.fault.nth == 0 ? 1 : a.fault.nth;
        if (a.seen == nth || (a.fault.repeat && a.seen > nth)) {
            *error = a.fault.error;
            return true;
        }
    }
    return false;
}
