// Recorder management and channel-server texts, from bytes: request texts
// byte for byte, reply parsing field by field, and hostile replies against
// the fixed records.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "control/channel_server.h"
#include "control/nvr_http.h"

namespace quornet {
namespace {

using namespace nvrhttp;

TEST(NvrHttpRequest, LoginRequestIsByteExact) {
  std::string r = BuildRequest(LoginLine("admin", "pw1"), "127.0.0.1", kLoginCookie);
  EXPECT_EQ(r,
            "GET /manager?action=login&username=admin&passwd=pw1&time=1402025254350 HTTP/1.1\r\n"
            "Accept: text/plain, */*; q=0.01\r\n"
            "Accept-Language: zh-CN\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko\r\n"
            "Host: 127.0.0.1\r\n"
            "DNT: 1\r\n"
            "Connection: Keep-Alive\r\n"
            "Cookie: UserType=admin; usercookie=7c3e19a4\r\n\r\n");
}

TEST(NvrHttpRequest, RecordSearchPadsChannelFlagsToFour) {
  const int32_t two[] = {1, 0};
  EXPECT_EQ(RecordSearchLine("20140611", "000000", 2, two),
            "GET /manager?action=recordquery&datestr=20140611&starttime=000000&chan1=1&chan2=0&"
            "chan3=0&chan4=0&locktype=alltype&time=1402476336110 HTTP/1.1");
  const int32_t six[] = {0, 1, 0, 1, 0, 1};
  EXPECT_NE(RecordSearchLine("d", "s", 6, six).find("&chan4=1&chan5=0&chan6=1&locktype="),
            std::string::npos);
  // No flags at all still names channels 1 to 4.
  EXPECT_NE(RecordSearchLine("d", "s", 0, nullptr).find("&chan1=0&chan2=0&chan3=0&chan4=0&"),
            std::string::npos);
}

TEST(NvrHttpRequest, OverLongOrRequestSplittingTextsAreRefused) {
  EXPECT_TRUE(LoginLine("ad min", "x").empty());
  EXPECT_TRUE(LoginLine("admin", "a&b=c").empty());
  EXPECT_TRUE(LoginLine("admin\r\nX: y", "x").empty());
  EXPECT_TRUE(AddPresetLine(1, "gate\n").empty());
  EXPECT_TRUE(RecordSearchLine("2014 0611", "0", 0, nullptr).empty());
  EXPECT_TRUE(LoginLine(std::string(1000, 'u'), "p").empty());  // request line > 1024
  // A flag array longer than any line is read only while the line still fits.
  std::unique_ptr<int32_t[]> many(new int32_t[200]());
  EXPECT_TRUE(RecordSearchLine("d", "s", 200, many.get()).empty());
  // The whole request above 4096 bytes: a host text that long is refused.
  EXPECT_TRUE(BuildRequest(CameraListLine(), std::string(4000, 'h'), "12345678").empty());
  EXPECT_TRUE(BuildRequest(CameraListLine(), "host\r\nX: y", "12345678").empty());
  EXPECT_TRUE(BuildRequest(CameraListLine(), "h", "1234 678").empty());
  // Texts at the limit are sent unchanged.
  std::string line = LoginLine(std::string(900, 'u'), "p");
  EXPECT_FALSE(line.empty());
  EXPECT_FALSE(BuildRequest(line, "h", kLoginCookie).empty());
}

TEST(NvrHttpRequest, CookieFieldIsReadAsAtMostEightBytes) {
  struct {
    char cookie[8];
    char after[8];
  } rec;
  std::memcpy(rec.cookie, "abcdefgh", 8);
  std::memcpy(rec.after, "XXXXXXX", 8);
  EXPECT_EQ(CookieText(rec.cookie), "abcdefgh");
  char shorter[8] = {'a', 'b', 'c', 0, 'z', 'z', 'z', 'z'};
  EXPECT_EQ(CookieText(shorter), "abc");
  EXPECT_NE(
      BuildRequest(CameraListLine(), "h", CookieText(rec.cookie)).find("usercookie=abcdefgh\r\n"),
      std::string::npos);
}

TEST(NvrHttpRequest, PtzCodeMapping) {
  struct Case {
    int32_t code, cmd, arg1;
  } cases[] = {{1, 1, 1},   {16, 1, 16}, {11, 3, 11}, {15, 3, 15},   {100, 2, 1},
               {200, 2, 2}, {400, 2, 4}, {3, 0, 3},   {300, 0, 300}, {-7, 0, -7}};
  for (const Case& c : cases) {
    int32_t cmd = -1, arg1 = -1;
    MapPtzCode(c.code, &cmd, &arg1);
    EXPECT_EQ(cmd, c.cmd) << c.code;
    EXPECT_EQ(arg1, c.arg1) << c.code;
  }
  EXPECT_EQ(PtzLine(3, 2, 2, 5),
            "GET /manager?action=ptzcontrol&chan=3&cmd=2&arg1=2&arg2=5&time=1403160041502 "
            "HTTP/1.1");
}

const char kHead[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

TEST(NvrHttpReply, LoginResults) {
  char cookie[8];
  std::memset(cookie, '#', 8);
  EXPECT_EQ(ParseLogin(std::string(kHead) + "Response=Success\r\nusercookie=ab12\r\n", cookie), 0);
  EXPECT_EQ(std::string(cookie, 8), std::string("ab12\0\0\0\0", 8));  // zero-filled
  EXPECT_EQ(
      ParseLogin(std::string(kHead) + "Response=Success\r\nusercookie=0123456789\r\n", cookie), 0);
  EXPECT_EQ(std::string(cookie, 8), "01234567");
  std::memset(cookie, '#', 8);
  EXPECT_EQ(ParseLogin(std::string(kHead) + "Response=Error\r\nMessage=User not exist\r\n", cookie),
            kUserNotExist);
  EXPECT_EQ(ParseLogin(std::string(kHead) + "Response=Error\r\nMessage=User already loged in\r\n",
                       cookie),
            kAlreadyLoggedIn);
  EXPECT_EQ(ParseLogin(std::string(kHead) + "Response=Error\r\nMessage=Authentication failed\r\n",
                       cookie),
            kRefused);
  EXPECT_EQ(ParseLogin("HTTP/1.1 500 Oops\r\n\r\nResponse=Success\r\nusercookie=1\r\n", cookie),
            kRefused);
  // A cookie that would split the next request is refused.
  EXPECT_EQ(ParseLogin(std::string(kHead) + "Response=Success\r\nusercookie=a b\r\n", cookie),
            kRefused);
  EXPECT_EQ(std::string(cookie, 8), "########");  // untouched on failure
}

TEST(NvrHttpReply, CameraListFieldsAndReversedAddresses) {
  auto list = std::make_unique<QRNET_NVRChannelList>();
  std::memset(list.get(), 0x5A, sizeof *list);
  std::string reply = std::string(kHead) +
                      "Response=Success\r\n{\"Data\":["
                      "{\"chan\":\"1\",\"name\":\"a\",\"addr\":\"1.0.168.192\"},"
                      "{\"chan\":\"2\",\"addr\":\"1.2.3\"},"      // not four numbers: not counted
                      "{\"chan\":\"3\",\"addr\":\"4.3.2.256\"},"  // 256 does not fit
                      "{\"chan\" : \"9\",\"addr\": \"10.20.30.40\"}]}";
  ASSERT_EQ(ParseCameraList(reply, list.get()), 2);
  EXPECT_STREQ(list->entry[0].address, "192.168.0.1");
  EXPECT_EQ(list->entry[0].channel, 1);
  EXPECT_STREQ(list->entry[1].address, "40.30.20.10");
  EXPECT_EQ(list->entry[1].channel, 9);
  EXPECT_EQ(list->entry[0].reserved0[0], 0x5A);  // not written
  EXPECT_EQ(list->entry[2].channel, 0x5A5A5A5A);
  EXPECT_EQ(ParseCameraList(std::string(kHead) + "{\"Dat\":[]}", list.get()), kNoList);
  EXPECT_EQ(ParseCameraList("HTTP/1.1 200 OK\r\n{\"Data\":[]}", list.get()), kNoList);  // no body
}

TEST(NvrHttpReply, ListsStopAtTheirDocumentedMaximum) {
  std::string body = "{\"Data\":[";
  for (int i = 0; i < 300; ++i) {
    body += "{\"chan\":\"" + std::to_string(i) + "\",\"type\":\"1\",\"name\":\"n\"," +
            "\"addr\":\"1.0.0.127\",\"preset\":\"" + std::to_string(i) + "\"},";
  }
  body += "]}";
  std::string reply = std::string(kHead) + body;
  auto cams = std::make_unique<QRNET_NVRChannelList>();
  EXPECT_EQ(ParseCameraList(reply, cams.get()), QRNET_NVR_MAX_CAMERAS);
  auto fs = std::make_unique<QRNET_FileServerChannelList>();
  EXPECT_EQ(ParseFileServerCameras(reply, fs.get()), QRNET_FILESERVER_MAX_CAMERAS);
  auto presets = std::make_unique<QRNET_NVRPresetList>();
  EXPECT_EQ(ParsePresetList(reply, presets.get()), QRNET_NVR_MAX_PRESETS);
}

TEST(NvrHttpReply, RecordFieldsAreCutToTheirFieldsAndNumbersMustFit) {
  auto list = std::make_unique<QRNET_NVRRecordList>();
  std::memset(list.get(), 0x5A, sizeof *list);
  std::string reply = std::string(kHead) +
                      "{\"Records\":[{\"chan\":\"2\",\"type\":\"1\",\"begin\":\"20140611080000\","
                      "\"end\":\"20140611090000123456\",\"lock\":\"1\"},"
                      "{\"chan\":\"99999999999\",\"type\":\"0\",\"begin\":\"b\",\"end\":\"e\","
                      "\"lock\":\"0\"}]}";
  ASSERT_EQ(ParseRecordList(reply, list.get()), 1);
  const QRNET_NVRRecordEntry& e = list->entry[0];
  EXPECT_EQ(e.channel, 2);
  EXPECT_EQ(e.type, 1);
  EXPECT_STREQ(e.begin, "20140611080000");
  EXPECT_STREQ(e.end, "20140611090000");  // cut to 14 characters and terminated
  EXPECT_EQ(e.lock, 1);
  EXPECT_EQ(e.reserved[0], 0x5A);
  EXPECT_EQ(list->entry[1].channel, 0x5A5A5A5A);  // the unfit entry ends the list
}

TEST(NvrHttpReply, FileServerTypeMustFitItsByte) {
  auto list = std::make_unique<QRNET_FileServerChannelList>();
  std::string name(300, 'n');
  std::string reply = std::string(kHead) + "{\"Data\":[{\"chan\":\"5\",\"type\":\"7\",\"name\":\"" +
                      name + "\"},{\"chan\":\"6\",\"type\":\"300\",\"name\":\"x\"}]}";
  ASSERT_EQ(ParseFileServerCameras(reply, list.get()), 1);
  EXPECT_EQ(list->entry[0].type, 7);
  EXPECT_EQ(list->entry[0].channel, 5);
  EXPECT_EQ(std::strlen(list->entry[0].name), 130u);
}

TEST(NvrHttpReply, LineValuesAndErrorReplies) {
  std::string r = std::string(kHead) + "Response=Error\r\nMessage=No Record Found\r\n";
  EXPECT_TRUE(IsError(r));
  EXPECT_TRUE(ErrorMessageHas(r, "No Record Found"));
  EXPECT_FALSE(ErrorMessageHas(std::string(kHead) + "Response=Success\r\nMessage=No Record Found",
                               "No Record Found"));
  EXPECT_EQ(LineValue("x rtsp=8554", "rtsp=").value(), "8554");  // to the end of the reply
  EXPECT_FALSE(ToInt("").has_value());
  EXPECT_FALSE(ToInt("12a").has_value());
  EXPECT_FALSE(ToInt("2147483648").has_value());
  EXPECT_EQ(ToInt("-2147483648").value(), INT32_MIN);
}

// ---- Channel server --------------------------------------------------------------

TEST(ChannelServerText, KeyRepliesSplitAnywhereNeverGiveAWrongKey) {
  const std::string reply = "SYSTEM OK\nchannel:123\nEND\n";
  EXPECT_EQ(chansrv::ParseKey(reply), 123);
  for (size_t cut = 0; cut < reply.size(); ++cut) {
    std::string_view part(reply.data(), cut);
    // A part that counts as complete must already give the whole key.
    if (chansrv::KeyReplyComplete(part)) {
      EXPECT_EQ(chansrv::ParseKey(part), 123) << cut;
    }
  }
  EXPECT_FALSE(chansrv::KeyReplyComplete("SYSTEM OK\nchannel:1"));
  EXPECT_EQ(chansrv::ParseKey("SYSTEM OK\n"), -1);
  EXPECT_EQ(chansrv::ParseKey("SYSTEM ERROR\nchannel:5\n"), -1);
  EXPECT_EQ(chansrv::ParseKey("SYSTEM OK\nchannel:0\n"), 0);
  EXPECT_EQ(chansrv::ParseKey("SYSTEM OK\nchannel:99999999999\n"), -1);
}

TEST(ChannelServerText, RequestsAreByteExactAndLineBreaksRefused) {
  EXPECT_EQ(chansrv::KeyQuery(1001), "SYSTEM QUERY KEY\nchannel:1001\nEND\n");
  EXPECT_EQ(chansrv::DeviceKeyQuery("cam.local", 3, 554, "u", "p"),
            "SYSTEM QUERY KEY\nhost:cam.local\nchannel:3\nrtsp port:554\nuser:u\npsw:p\nEND\n");
  EXPECT_TRUE(chansrv::DeviceKeyQuery("h", 1, 554, "u\nEND", "p").empty());
  EXPECT_TRUE(chansrv::DeviceKeyQuery("h\r", 1, 554, "u", "p").empty());
  EXPECT_EQ(chansrv::GetChannelsCommand(chansrv::AuthText("admin", "admin")),
            "QRURF CMD=GET CHANNEL AUTH=YWRtaW46YWRtaW4=\r\n");
  EXPECT_EQ(chansrv::AlarmOutCommand(1, 4), "QRURF CMD=ALARMOUT STATE=1\r\nCHANNEL=4\r\n");
  EXPECT_EQ(chansrv::WebAlarmOutRequest("10.0.0.5", 2, 0, "YTpi"),
            "GET /goform/device?cmd=set&channel=2&alarmout.status=0 HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Accept-Language: zh-cn\r\n"
            "Referer: http://10.0.0.5/Pages/wifi.html\r\n"
            "If-Modified-Since: 0\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "User-Agent: Client/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; InfoPath.2; .NET "
            "CLR 2.0.50727)\r\n"
            "Host: 10.0.0.5\r\n"
            "Connection: Keep-Alive\r\n"
            "Authorization: Basic YTpi\r\n\r\n");
  EXPECT_TRUE(chansrv::WebAlarmOutRequest("h\r\nX: y", 2, 0, "YTpi").empty());
}

TEST(ChannelServerText, WebPortRuleAndTableBound) {
  EXPECT_EQ(chansrv::WebPort(554).value(), 80);
  EXPECT_EQ(chansrv::WebPort(2554).value(), 554);
  EXPECT_FALSE(chansrv::WebPort(2000).has_value());  // would be port 0
  EXPECT_FALSE(chansrv::WebPort(1554).has_value());
  EXPECT_FALSE(chansrv::WebPort(0).has_value());
  EXPECT_EQ(chansrv::TableBytes(0), 4u);
  EXPECT_EQ(chansrv::TableBytes(chansrv::kMaxTableWords), chansrv::kTableCapacity);
  EXPECT_EQ(chansrv::TableBytes(chansrv::kMaxTableWords + 1), 0u);
  EXPECT_EQ(chansrv::TableBytes(0xFFFFFFFFu), 0u);
}

}  // namespace
}  // namespace quornet
