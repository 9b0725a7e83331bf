#include "area_owner.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool kitResult(int rc, const LIB_POW_OwnerError& kitError, std::string& error)
{
    if (rc != 0)
        error = kitError.text;
    return rc == 0;
}

} // namespace

LIB_POW_CreateOptions createOptions(const AreaOptions& options)
{
    return {options.reset ? 1 : 0, options.index0Pid, options.timeoutMs,
            options.group.empty() ? nullptr : options.group.c_str(), options.mode, nullptr};
}

bool createAreas(const AreaNames& names, const AreaOptions& options, std::string& error)
{
    LIB_POW_Names kit = names.kit();
    LIB_POW_CreateOptions create = createOptions(options);
    LIB_POW_OwnerError kitError = {};
    return kitResult(LIB_POW_ownerCreate(&kit, &create, &kitError), kitError, error);
}

bool guardedCall(const std::function<void()>& call)
{
    return LIB_POW_ownerGuard(
               [](void* context) {
                   (*static_cast<const std::function<void()>*>(context))();
                   return 1;
               },
               const_cast<std::function<void()>*>(&call), 0) == 1;
}

void collectFinding(const LIB_POW_Finding* finding, void* context)
{
    static_cast<std::vector<LIB_POW_Finding>*>(context)->push_back(*finding);
}

std::vector<LIB_POW_Finding> objectFindings(const AreaNames& names)
{
    std::vector<LIB_POW_Finding> found;
    LIB_POW_Names kit = names.kit();
    LIB_POW_ownerAuditAreas(&kit, collectFinding, &found);
    LIB_POW_ownerAuditSemaphores(&kit, collectFinding, &found, nullptr);
    return found;
}

std::string faultText(const AreaNames& names)
{
    std::string text;
    for (const LIB_POW_Finding& f : objectFindings(names))
        text += (text.empty() ? "" : "; ") + std::string(f.text);
    if (text.empty())
        return "an object was cut short while in use, and is whole again: run the command again";
    return "an object was cut short while in use: " + text +
           " (clients would crash on it: SIGBUS; powsvc create --reset re-makes what is wrong)";
}

bool removeAreas(const AreaNames& names, std::string& error)
{
    LIB_POW_Names kit = names.kit();
    LIB_POW_OwnerError kitError = {};
    return kitResult(LIB_POW_ownerRemove(&kit, &kitError), kitError, error);
}

std::string explainObjectError(const LIB_POW_OwnerError& error)
{
    std::string text = error.text;
    switch (error.code) {
    case ENOENT:
        return text + " (is the power service running? powsvc run or powsvc create makes it)";
    case EACCES:
    case EPERM: /* a refused removal says itself who may: root, not a member */
        if (text.find("remove it as root") != std::string::npos)
            return text;
        return text + ": run this as the objects' owner or a member of their group";
    case EINVAL: /* a short area, or a value a call refused (as fchown does a group a namespace lacks) */
        if (text.find(" bytes, needs ") == std::string::npos)
            return text;
        return text + ": clients would crash on it (SIGBUS); powsvc create --reset re-makes it in place, "
                      "keeping every whole object";
    case EEXIST: /* in the way of create: not an object it may adopt */
        return text + "; powsvc create --reset replaces it";
    case EBUSY: /* in use by the processes named */
        return text + "; powsvc create --reset --force replaces it all the same, naming those that must restart";
    default:
        return text;
    }
}

namespace {

/* The trace's tick count: milliseconds of the monotonic clock, kept
 * positive in 31 bits so it prints as a plain number. */
int32_t semLogTick()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    return static_cast<int32_t>(ms & 0x7fffffff);
}

/* The text in a field of `width`, padded with NULs. */
void fillText(char* field, size_t width, const std::string& text)
{
    for (size_t n = 0; n < width; ++n)
        field[n] = n < text.size() ? text[n] : '\0';
}

} // namespace

bool appendSemLogRecord(const AreaNames& names, const SemLogInput& input, std::string& error)
{
    SemLogRecord record = {semLogTick(), static_cast<int32_t>(getpid()), static_cast<uint32_t>(syscall(SYS_gettid)),
                           {}, static_cast<uint32_t>(input.semId), {}, static_cast<int32_t>(input.value)};
    fillText(record.SemName, sizeof record.SemName, input.semName);
    fillText(record.Status, sizeof record.Status, input.status);
    LIB_POW_Names kit = names.kit();
    LIB_POW_OwnerError kitError = {};
    if (LIB_POW_ownerAppendSemLog(&kit, &record, &kitError) == 0)
        return true;
    error = explainObjectError(kitError);
    return false;
}

bool clearSemLog(const AreaNames& names, std::string& error)
{
    LIB_POW_Names kit = names.kit();
    LIB_POW_OwnerError kitError = {};
    if (LIB_POW_ownerClearSemLog(&kit, &kitError) == 0)
        return true;
    error = explainObjectError(kitError);
    return false;
}
