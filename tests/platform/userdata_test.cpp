#include "platform/memory.h"
#include "platform/userdata.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <string>

namespace {

Handle handleOf(const std::string &bytes) {
    Handle h = NewHandle(Size(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), *h);
    return h;
}

std::string bytesOf(Handle h) {
    return std::string(*h, size_t(GetHandleSize(h)));
}

// A settings block as a panel saves it: every byte value, zeros included.
std::string settingsBlock() {
    std::string block(114, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 37 + 1) & 0xFF);
    block[0] = 0;
    block[1] = 1;
    block[77] = 0;
    block[113] = char(0xFF);
    return block;
}

TEST(UserDataStore, BytesComeBackExactlyIntoAHandleOfTheirSize) {
    long live = qor::platform::liveUserDataCount();
    Handle block = handleOf(settingsBlock());
    UserData ud = nullptr;
    ASSERT_EQ(NewUserDataFromHandle(block, &ud), noErr);
    ASSERT_NE(ud, nullptr);
    EXPECT_EQ(qor::platform::liveUserDataCount(), live + 1);

    (*block)[5] = 'x'; // the user data keeps its own copy
    DisposeHandle(block);

    for (Size start : {0, 114, 500}) {
        SCOPED_TRACE(start);
        Handle out = NewHandleClear(start);
        ASSERT_EQ(PutUserDataIntoHandle(ud, out), noErr);
        EXPECT_EQ(GetHandleSize(out), 114);
        EXPECT_EQ(bytesOf(out), settingsBlock());
        DisposeHandle(out);
    }
    EXPECT_EQ(DisposeUserData(ud), noErr);
    EXPECT_EQ(qor::platform::liveUserDataCount(), live);
}

TEST(UserDataStore, AnEmptyRecordGivesBackNoBytes) {
    UserData fresh = nullptr;
    ASSERT_EQ(NewUserData(&fresh), noErr);
    Handle out = handleOf("leftover");
    EXPECT_EQ(PutUserDataIntoHandle(fresh, out), noErr);
    EXPECT_EQ(GetHandleSize(out), 0);

    Handle empty = NewHandle(0);
    UserData fromEmpty = nullptr;
    ASSERT_EQ(NewUserDataFromHandle(empty, &fromEmpty), noErr);
    SetHandleSize(out, 3);
    EXPECT_EQ(PutUserDataIntoHandle(fromEmpty, out), noErr);
    EXPECT_EQ(GetHandleSize(out), 0);
    DisposeHandle(empty);
    DisposeHandle(out);
    DisposeUserData(fresh);
    DisposeUserData(fromEmpty);
}

TEST(UserDataStore, BadArgumentsAreRefusedAndChangeNothing) {
    UserData ud = reinterpret_cast<UserData>(1);
    EXPECT_EQ(NewUserDataFromHandle(nullptr, &ud), paramErr);
    EXPECT_EQ(ud, nullptr) << "the output is cleared on failure";
    Handle h = handleOf("abc");
    EXPECT_EQ(NewUserDataFromHandle(h, nullptr), paramErr);
    EXPECT_EQ(NewUserData(nullptr), paramErr);
    EXPECT_EQ(PutUserDataIntoHandle(nullptr, h), paramErr);
    EXPECT_EQ(bytesOf(h), "abc");

    ASSERT_EQ(NewUserDataFromHandle(h, &ud), noErr);
    EXPECT_EQ(PutUserDataIntoHandle(ud, nullptr), paramErr);
    EXPECT_EQ(DisposeUserData(ud), noErr);
    EXPECT_EQ(DisposeUserData(ud), paramErr) << "a second dispose is caught";
    EXPECT_EQ(PutUserDataIntoHandle(ud, h), paramErr) << "a disposed record is refused";
    EXPECT_EQ(DisposeUserData(nullptr), paramErr);
    EXPECT_EQ(bytesOf(h), "abc");
    DisposeHandle(h);
}

TEST(UserDataStore, ALockedHandleThatMustGrowReportsTheMemoryError) {
    Handle block = handleOf(settingsBlock());
    UserData ud = nullptr;
    ASSERT_EQ(NewUserDataFromHandle(block, &ud), noErr);
    Handle small = handleOf("ab");
    HLock(small);
    EXPECT_EQ(PutUserDataIntoHandle(ud, small), memLockedErr);
    EXPECT_EQ(bytesOf(small), "ab");
    HUnlock(small);
    DisposeHandle(small);
    DisposeHandle(block);
    DisposeUserData(ud);
}

// A grabber keeps each panel's block as a typed item of its own settings record.
TEST(UserDataStore, TypedItemsAreFiledByTypeAndIndex) {
    UserData record = nullptr;
    ASSERT_EQ(NewUserData(&record), noErr);
    const OSType qorn = fourCharCode("QORN");
    const OSType other = fourCharCode("othr");
    Handle a = handleOf(settingsBlock());
    Handle b = handleOf("second");
    Handle c = handleOf("other maker");
    EXPECT_EQ(AddUserData(record, a, qorn), noErr);
    EXPECT_EQ(AddUserData(record, c, other), noErr);
    EXPECT_EQ(AddUserData(record, b, qorn), noErr);
    EXPECT_EQ(CountUserDataType(record, qorn), 2);
    EXPECT_EQ(CountUserDataType(record, other), 1);
    EXPECT_EQ(CountUserDataType(record, fourCharCode("none")), 0);

    Handle out = NewHandle(1);
    ASSERT_EQ(GetUserData(record, out, qorn, 1), noErr);
    EXPECT_EQ(bytesOf(out), settingsBlock());
    ASSERT_EQ(GetUserData(record, out, qorn, 2), noErr);
    EXPECT_EQ(bytesOf(out), "second");
    EXPECT_EQ(GetUserData(record, out, qorn, 3), userDataItemNotFound);
    EXPECT_EQ(GetUserData(record, out, qorn, 0), userDataItemNotFound);
    EXPECT_EQ(bytesOf(out), "second") << "a missing item leaves the handle alone";

    EXPECT_EQ(RemoveUserData(record, qorn, 1), noErr);
    EXPECT_EQ(CountUserDataType(record, qorn), 1);
    ASSERT_EQ(GetUserData(record, out, qorn, 1), noErr);
    EXPECT_EQ(bytesOf(out), "second");
    EXPECT_EQ(RemoveUserData(record, qorn, 5), userDataItemNotFound);
    EXPECT_EQ(AddUserData(record, nullptr, qorn), paramErr);

    // The typed items and the record's own bytes are separate.
    Handle own = handleOf("x");
    EXPECT_EQ(PutUserDataIntoHandle(record, own), noErr);
    EXPECT_EQ(GetHandleSize(own), 0);

    for (Handle h : {a, b, c, out, own}) DisposeHandle(h);
    DisposeUserData(record);
    EXPECT_EQ(CountUserDataType(record, other), 0);
}

} // namespace
