// User data stand-ins: a settings record that a component hands to its client and gets back.
// A user data item list holds one opaque byte string (NewUserDataFromHandle and
// PutUserDataIntoHandle give back exactly the bytes they were given) and, for a client keeping
// several components' settings in one record, typed items (AddUserData and friends), each a
// byte string filed under an OSType and a 1-based index.
#pragma once

#include "platform/mac_types.h"

struct UserDataRecord;
using UserData = UserDataRecord *;

enum {
    userDataItemNotFound = -2026,
};

// Every call answers paramErr for a null or already disposed user data, and changes nothing.
OSErr NewUserData(UserData *theUserData);
OSErr DisposeUserData(UserData theUserData);
// A new user data holding a copy of the handle's bytes; *theUserData is null on failure.
OSErr NewUserDataFromHandle(Handle h, UserData *theUserData);
// Resizes h to exactly the stored bytes and copies them in.
OSErr PutUserDataIntoHandle(UserData theUserData, Handle h);

// Files a copy of data's bytes as the next item of type udType.
OSErr AddUserData(UserData theUserData, Handle data, OSType udType);
// Resizes data to the index-th item (from 1) of type udType and copies it in;
// userDataItemNotFound, with data unchanged, when there is no such item.
OSErr GetUserData(UserData theUserData, Handle data, OSType udType, long index);
OSErr RemoveUserData(UserData theUserData, OSType udType, long index);
short CountUserDataType(UserData theUserData, OSType udType);

namespace qor::platform {

// User data made and not yet disposed, for tests that check a client released its own.
long liveUserDataCount();

} // namespace qor::platform
