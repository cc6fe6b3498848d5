#include <gtest/gtest.h>

#include <string>

#include "client/vistrel.h"

namespace rtmp {
namespace {

struct Parsed {
    bool ok;
    ServerInfo h;
};

Parsed Parse(const char* url) {
    Parsed p{false, {}};
    p.ok = InitServerInfo(p.h, url);
    return p;
}

TEST(ServerInfo, SplitsHostApplicationAndStream) {
    auto p = Parse("rtmp://host:1935/live/cam1");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.h.server, "host:1935");
    EXPECT_EQ(p.h.app, "live");
    EXPECT_EQ(p.h.streamName, "cam1");
    EXPECT_EQ(p.h.tcUrl, "rtmp://host:1935/live");

    p = Parse("rtmp://host/encoder/abc/mp4:x");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.h.app, "encoder/abc");
    EXPECT_EQ(p.h.streamName, "mp4:x");
    EXPECT_EQ(p.h.tcUrl, "rtmp://host/encoder/abc");
}

TEST(ServerInfo, SchemeLettersInAnyCaseButExactSeparator) {
    EXPECT_TRUE(Parse("RTMP://Host/app/s").ok);
    EXPECT_FALSE(Parse("rtmp:/host/app/s").ok);
    EXPECT_FALSE(Parse("http://host/app/s").ok);
    EXPECT_FALSE(Parse("rtmp://a/").ok);  // shorter than 10 characters
    EXPECT_FALSE(Parse(nullptr).ok);
}

TEST(ServerInfo, OneCharacterHostIsSkippedAndLeavesNoApplication) {
    EXPECT_FALSE(Parse("rtmp://h/app/s").ok);
    EXPECT_FALSE(Parse("rtmp://host/live").ok);  // no '/' after the application
}

TEST(ServerInfo, EmptyStreamNameIsAccepted) {
    auto p = Parse("rtmp://host/app/");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.h.app, "app");
    EXPECT_EQ(p.h.streamName, "");
}

TEST(ServerInfo, UrlsLongerThanTheFieldsAreRejected) {
    std::string url = "rtmp://host/app/" + std::string(495, 's');
    EXPECT_EQ(url.size(), 511u);
    EXPECT_TRUE(Parse(url.c_str()).ok);
    url += "s";
    EXPECT_FALSE(Parse(url.c_str()).ok);
}

TEST(ServerInfo, PortFollowsTheFirstColon) {
    std::string host;
    int port = -1;
    SplitHostPort("host:1940", &host, &port);
    EXPECT_EQ(host, "host");
    EXPECT_EQ(port, 1940);
    SplitHostPort("host:", &host, &port);
    EXPECT_EQ(port, 1935);
    SplitHostPort("host", &host, &port);
    EXPECT_EQ(port, 1935);
    SplitHostPort("host:abc", &host, &port);
    EXPECT_EQ(port, 0);
}

}  // namespace
}  // namespace rtmp
