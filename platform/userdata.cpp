#include "platform/userdata.h"

#include "platform/memory.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

struct UserDataRecord {
    std::vector<char> bytes;
    struct Item {
        OSType type;
        std::vector<char> bytes;
    };
    std::vector<Item> items; // in the order they were added
};

namespace {

// Live user data, so that a disposed or foreign reference is refused rather than used.
struct Registry {
    std::mutex lock;
    std::unordered_set<const UserDataRecord *> live;
};

Registry &registry() {
    static Registry r;
    return r;
}

UserDataRecord *liveUserData(UserData ud) {
    return ud && registry().live.count(ud) ? ud : nullptr;
}

// Copies bytes into h, resizing it to exactly their size.
OSErr copyIntoHandle(const std::vector<char> &bytes, Handle h) {
    SetHandleSize(h, Size(bytes.size()));
    if (OSErr err = MemError()) return err;
    std::copy(bytes.begin(), bytes.end(), *h);
    return noErr;
}

// The handle's bytes; false for a null or unknown handle.
bool bytesOf(Handle h, std::vector<char> *out) {
    if (!h || !*h) return false;
    Size size = GetHandleSize(h);
    if (MemError() != noErr) return false;
    out->assign(*h, *h + size);
    return true;
}

// The position of the index-th item (from 1) of a type, or items.size().
size_t itemIndex(const UserDataRecord &ud, OSType type, long index) {
    long seen = 0;
    for (size_t i = 0; i < ud.items.size(); ++i)
        if (ud.items[i].type == type && ++seen == index) return i;
    return ud.items.size();
}

} // namespace

OSErr NewUserData(UserData *theUserData) {
    if (!theUserData) return paramErr;
    auto *ud = new UserDataRecord{};
    std::lock_guard guard(registry().lock);
    registry().live.insert(ud);
    *theUserData = ud;
    return noErr;
}

OSErr DisposeUserData(UserData theUserData) {
    std::lock_guard guard(registry().lock);
    UserDataRecord *ud = liveUserData(theUserData);
    if (!ud) return paramErr;
    registry().live.erase(ud);
    delete ud;
    return noErr;
}

OSErr NewUserDataFromHandle(Handle h, UserData *theUserData) {
    if (!theUserData) return paramErr;
    *theUserData = nullptr;
    std::vector<char> bytes;
    if (!bytesOf(h, &bytes)) return paramErr;
    auto *ud = new UserDataRecord{std::move(bytes), {}};
    std::lock_guard guard(registry().lock);
    registry().live.insert(ud);
    *theUserData = ud;
    return noErr;
}

OSErr PutUserDataIntoHandle(UserData theUserData, Handle h) {
    if (!h || !*h) return paramErr;
    std::lock_guard guard(registry().lock);
    UserDataRecord *ud = liveUserData(theUserData);
    if (!ud) return paramErr;
    return copyIntoHandle(ud->bytes, h);
}

OSErr AddUserData(UserData theUserData, Handle data, OSType udType) {
    std::vector<char> bytes;
    if (!bytesOf(data, &bytes)) return paramErr;
    std::lock_guard guard(registry().lock);
    UserDataRecord *ud = liveUserData(theUserData);
    if (!ud) return paramErr;
    ud->items.push_back({udType, std::move(bytes)});
    return noErr;
}

OSErr GetUserData(UserData theUserData, Handle data, OSType udType, long index) {
    if (!data || !*data) return paramErr;
    std::lock_guard guard(registry().lock);
    UserDataRecord *ud = liveUserData(theUserData);
    if (!ud) return paramErr;
    size_t at = itemIndex(*ud, udType, index);
    if (at == ud->items.size()) return userDataItemNotFound;
    return copyIntoHandle(ud->items[at].bytes, data);
}

OSErr RemoveUserData(UserData theUserData, OSType udType, long index) {
    std::lock_guard guard(registry().lock);
    UserDataRecord *ud = liveUserData(theUserData);
    if (!ud) return paramErr;
    size_t at = itemIndex(*ud, udType, index);
    if (at == ud->items.size()) return userDataItemNotFound;
    ud->items.erase(ud->items.begin() + long(at));
    return noErr;
}

short CountUserDataType(UserData theUserData, OSType udType) {
    std::lock_guard guard(registry().lock);
    UserDataRecord *ud = liveUserData(theUserData);
    if (!ud) return 0;
    return short(std::count_if(ud->items.begin(), ud->items.end(),
                               [udType](const auto &item) { return item.type == udType; }));
}

namespace qor::platform {

long liveUserDataCount() {
    std::lock_guard guard(registry().lock);
    return long(registry().live.size());
}

} // namespace qor::platform
