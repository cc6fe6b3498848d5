#include "client/result_waiter.h"

#include <gtest/gtest.h>

#include <cstring>

namespace rtmp {
namespace {

TEST(ResultWaiter, CallLinesAppendOnlyWhileTheyFit) {
    char text[10] = {};
    ResultWaiter w;
    w.text = text;
    w.capacity = sizeof text;
    OnCallResult(&w, "123456789", 9);  // 0 + 9 + 1 is not below 10: skipped
    EXPECT_STREQ(text, "");
    OnCallResult(&w, "12345678", 8);  // fits: ",12345678" and the terminator
    EXPECT_STREQ(text, ",12345678");
    OnCallResult(&w, "x", 1);  // no room left
    EXPECT_STREQ(text, ",12345678");
    EXPECT_EQ(w.done.load(), 0);
    EXPECT_EQ(OnCallResult(&w, "", 0), 0);
    EXPECT_EQ(OnCallResult(nullptr, "x", 1), 0);
}

TEST(ResultWaiter, CallVerdictFromTheClosingLine) {
    ResultWaiter w;
    OnCallResult(&w, "CallResult=Vistrel.Call.Failed", 30);
    EXPECT_EQ(w.done.load(), 1);
    EXPECT_EQ(w.ok.load(), 0);
    OnCallResult(&w, "CallResult=Vistrel.Call.Success", 31);
    EXPECT_EQ(w.ok.load(), 1);
}

TEST(ResultWaiter, ConnectVerdictIsTheCodeAndTheWaitEndsAtTheResultLine) {
    ResultWaiter w;
    OnConnectResult(&w, "code=NetConnection.Connect.Success", 34);
    EXPECT_EQ(w.ok.load(), 1);
    EXPECT_EQ(w.done.load(), 0);
    OnConnectResult(&w, "code=NetConnection.Connect.Rejected", 35);
    EXPECT_EQ(w.ok.load(), 0);
    OnConnectResult(&w, "CallResult=Vistrel.Call.Success", 31);
    EXPECT_EQ(w.done.load(), 1);
    EXPECT_EQ(w.ok.load(), 0);  // the closing line does not change the verdict
    EXPECT_TRUE(WaitResult(w, 1));
    ResultWaiter never;
    EXPECT_FALSE(WaitResult(never, 3));
}

}  // namespace
}  // namespace rtmp
