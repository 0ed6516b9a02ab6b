// Message texts and reply parsing of the MCTP/1.0 command protocol, and the
// framing and meaning of event channel messages. Bytes only, no sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "control/mctp.h"
#include "control/mctp_event.h"
#include "control/nvr_report.h"

namespace quornet::mctp {
namespace {

TEST(MctpMessages, CommandTextsAreByteExact) {
  EXPECT_EQ(BuildPtz(3, 21, -4), "CMD:PTZ MCTP/1.0\n@3@21@-4\nEND\n");
  EXPECT_EQ(BuildVideoParam(kVideoRead, 2, 0, 0, 0), "CMD:VCTRL MCTP/1.0 CS\n@1@2@0@0@0@\nEND\n");
  EXPECT_EQ(BuildStopAlarm(5, 1), "CMD:ALARM MCTP/1.0 CS\n@1@5@1\nEND\n");
  EXPECT_EQ(BuildMdCommand(kMdStart, 7), "CMD:MD MCTP/1.0 CS\n@3@7@0@0@0@0@0@0\nEND\n");
  EXPECT_EQ(BuildCoverPosit(1, 2, 3, 4, 5, 6), "CMD:PTZ-ADV MCTP/1.0\n@1@1@2@3@4@5@6\nEND\n");
  EXPECT_EQ(Build3DPosit(10, 20, 30, 40), "CMD:PTZ-ADV MCTP/1.0\n@0@10@10@20@30@40@0@0@0\nEND\n");
  EXPECT_EQ(BuildAliveSubscribe("12345678", 1), "CMD:ALIVE MCTP/1.0 CS\n@12345678@1\nEND\n");
  EXPECT_EQ(BuildAliveKeepAlive(), "CMD:ALIVE MCTP/1.0 CS\nEND\n");
  EXPECT_EQ(BuildTalk(1, 16), "CMD:TALK MCTP/1.0 CS\n@1@16@\nEND\n");
}

TEST(MctpMessages, VideoSetOperationFollowsMode) {
  EXPECT_EQ(VideoSetOperation(0), 2);
  EXPECT_EQ(VideoSetOperation(1), 3);
  EXPECT_EQ(VideoSetOperation(2), 4);
  EXPECT_EQ(VideoSetOperation(3), 2);
  EXPECT_EQ(VideoSetOperation(-1), 2);
}

TEST(MctpMessages, SessionIdThatWouldBreakFramingIsRefused) {
  EXPECT_EQ(BuildAliveSubscribe("abc\nEND\n", 1), "");
  EXPECT_EQ(BuildAliveSubscribe("a@b", 1), "");
}

TEST(MctpMessages, SaveMdCarriesEighteenLinesNumberedZeroToFifteen) {
  MotionRegionRecord rec{};
  for (int i = 0; i < 16; ++i) {
    rec.sensitivity[i] = uint8_t(200 + i);  // above 127: must stay unsigned
    rec.rect[i] = {i, i * 10, 704 - i, -i};
  }
  std::string msg = BuildSaveMd(4, rec);
  ASSERT_EQ(CountLines(msg), 18);
  EXPECT_EQ(LineAt(msg, 0), "CMD:MD MCTP/1.0 CS\n");
  EXPECT_EQ(LineAt(msg, 1), "@1@4@0@200@0@0@704@0\n");
  EXPECT_EQ(LineAt(msg, 16), "@1@4@15@215@15@150@689@-15\n");
  EXPECT_EQ(LineAt(msg, 17), "END\n");
  // The region lines have the layout of a read reply: it parses back.
  MotionRegionRecord back{};
  ASSERT_TRUE(ParseGetMdReply(msg, &back));
  EXPECT_EQ(std::memcmp(&back, &rec, sizeof rec), 0);
}

TEST(MctpReplies, LineCountingAndLines) {
  EXPECT_EQ(CountLines(""), 0);
  EXPECT_EQ(CountLines("a"), 1);
  EXPECT_EQ(CountLines("a\n"), 1);
  EXPECT_EQ(CountLines("a\nb"), 2);
  EXPECT_EQ(CountLines("\n\n\n"), 3);
  EXPECT_EQ(LineAt("a\nbc\nd", 1), "bc\n");
  EXPECT_EQ(LineAt("a\nbc\nd", 2), "d");
  EXPECT_EQ(LineAt("a\nbc\nd", 3), "");
}

TEST(MctpReplies, FieldScanningStopsAtFirstMismatchAndOverflow) {
  int32_t v[8];
  EXPECT_EQ(ScanFields("@1@-2@+3@\n", 8, v), 3);
  EXPECT_EQ(v[1], -2);
  EXPECT_EQ(v[2], 3);
  EXPECT_EQ(ScanFields("@ 7@x@9", 8, v), 1);  // blanks before a number are allowed
  EXPECT_EQ(v[0], 7);
  EXPECT_EQ(ScanFields("@2147483647@-2147483648", 8, v), 2);
  EXPECT_EQ(v[0], 2147483647);
  EXPECT_EQ(v[1], -2147483647 - 1);
  EXPECT_EQ(ScanFields("@2147483648@1", 8, v), 0);
  EXPECT_EQ(ScanFields("@99999999999999999999999", 8, v), 0);
  EXPECT_EQ(ScanFields("@1@2@3@4", 2, v), 2);  // never more than asked for
  EXPECT_EQ(ScanFields("@-", 8, v), 0);
  EXPECT_EQ(ScanFields("", 8, v), 0);
}

TEST(MctpReplies, GetVideoParamStoresValuesThreeToFiveAsBytes) {
  VideoParams p;
  ASSERT_TRUE(ParseGetVideoParamReply("CMD:VCTRL MCTP/1.0 CS\n@1@0@128@300@-1@\nEND\n", &p));
  EXPECT_EQ(p.brightness, 128);
  EXPECT_EQ(p.contrast, 300 & 0xFF);
  EXPECT_EQ(p.saturation, 0xFF);
  // No trailing line feed after END still makes three lines.
  EXPECT_TRUE(ParseGetVideoParamReply("X\n@1@0@1@2@3@\nEND", &p));
  VideoParams untouched{9, 9, 9};
  EXPECT_FALSE(ParseGetVideoParamReply("X\n@1@0@1@2@\nEND\n", &untouched));  // 4 values
  EXPECT_FALSE(ParseGetVideoParamReply("X\n@1@0@1@2@3@\nEND\nmore\n", &untouched));
  EXPECT_FALSE(ParseGetVideoParamReply("", &untouched));
  EXPECT_EQ(untouched.brightness, 9);
}

TEST(MctpReplies, ResultValueThreeMustBeOne) {
  EXPECT_TRUE(ParseResultReply("CMD:VCTRL MCTP/1.0 CS\n@2@1@1@\nEND\n", 3));
  EXPECT_FALSE(ParseResultReply("CMD:VCTRL MCTP/1.0 CS\n@2@1@0@\nEND\n", 3));
  EXPECT_FALSE(ParseResultReply("CMD:VCTRL MCTP/1.0 CS\n@2@1@\nEND\n", 3));
  EXPECT_FALSE(ParseResultReply("CMD:VCTRL MCTP/1.0 CS\n@2@1@1@\n", 3));  // 2 lines
  EXPECT_TRUE(ParseResultReply("CMD:MD MCTP/1.0 CS\n@3@0@1@0@0@0@0@0\nEND\n", 8));
  EXPECT_FALSE(ParseResultReply("CMD:MD MCTP/1.0 CS\n@3@0@1@0@0@0@0\nEND\n", 8));
}

std::string MdReply(int region_lines) {
  std::string r = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < region_lines; ++i) {
    r += "@2@0@" + std::to_string(i) + "@" + std::to_string(i + 1) + "@1@2@3@4\n";
  }
  return r + "END\n";
}

TEST(MctpReplies, GetMdNeedsExactlyEighteenLinesAndLeavesOutputOnFailure) {
  MotionRegionRecord rec;
  std::memset(&rec, 0xAB, sizeof rec);
  EXPECT_FALSE(ParseGetMdReply(MdReply(15), &rec));  // 17 lines
  EXPECT_FALSE(ParseGetMdReply(MdReply(17), &rec));  // 19 lines
  std::string bad = MdReply(16);
  bad.replace(bad.find("@2@0@9@10@1@2@3@4\n"), 18, "@2@0@9@10@1@2@3\n");  // 7 values
  EXPECT_FALSE(ParseGetMdReply(bad, &rec));
  std::string wrong_head = MdReply(16);
  wrong_head.replace(0, 6, "CMD:XX");
  EXPECT_FALSE(ParseGetMdReply(wrong_head, &rec));
  for (size_t i = 0; i < sizeof rec; ++i) ASSERT_EQ(reinterpret_cast<uint8_t*>(&rec)[i], 0xAB);

  ASSERT_TRUE(ParseGetMdReply(MdReply(16), &rec));
  EXPECT_EQ(rec.sensitivity[0], 1);
  EXPECT_EQ(rec.sensitivity[15], 16);
  EXPECT_EQ(rec.rect[15].left, 1);
  EXPECT_EQ(rec.rect[15].bottom, 4);
}

TEST(MctpReplies, AliveAndTalkReplies) {
  EXPECT_TRUE(ParseAliveReply("CMD:ALIVE MCTP/1.0 CS\n@1@0@1\nEND\n"));
  EXPECT_FALSE(ParseAliveReply("CMD:ALIVE MCTP/1.0 CS\n@1@0@0\nEND\n"));
  TalkReply t;
  ASSERT_TRUE(ParseTalkReply("CMD:TALK MCTP/1.0 CS\n@1@1@7@\n", &t));
  EXPECT_TRUE(t.duplex);
  EXPECT_TRUE(t.has_extra);
  EXPECT_EQ(t.extra, 7);
  ASSERT_TRUE(ParseTalkReply("CMD:TALK MCTP/1.0 CS\n@0@1@\n", &t));
  EXPECT_FALSE(t.duplex);
  EXPECT_FALSE(t.has_extra);
  EXPECT_FALSE(ParseTalkReply("CMD:TALK MCTP/1.0 CS\n@0@0@\n", &t));
  EXPECT_FALSE(ParseTalkReply("CMD:TALK MCTP/1.0 CS\n@0@1@\nEND\n", &t));
}

// ---- Event channel ---------------------------------------------------------

void Feed(EventBuffer* buf, std::string_view bytes) {
  auto span = buf->PrepareWrite();
  ASSERT_GE(span.size(), bytes.size());
  std::memcpy(span.data(), bytes.data(), bytes.size());
  buf->Commit(bytes.size());
}

TEST(MctpEvents, TwoMessagesInOneReadComeOutInOrder) {
  EventBuffer buf;
  Feed(&buf, "CMD:ALARM MCTP/1.0 CS\n@2@5\nEND\nCMD:ALIVE MCTP/1.0 CS\nEND\n");
  std::string m;
  ASSERT_TRUE(buf.Next(&m));
  EXPECT_EQ(m, "CMD:ALARM MCTP/1.0 CS\n@2@5\nEND\n");
  ASSERT_TRUE(buf.Next(&m));
  EXPECT_EQ(m, "CMD:ALIVE MCTP/1.0 CS\nEND\n");
  EXPECT_FALSE(buf.Next(&m));
  EXPECT_EQ(buf.held(), 0u);
}

TEST(MctpEvents, SplitMessageCompletesOnLaterRead) {
  EventBuffer buf;
  std::string m;
  Feed(&buf, "junk CMD:ALARM MCTP/1.0 CS\n@2@");
  EXPECT_FALSE(buf.Next(&m));
  Feed(&buf, "5\nEN");
  EXPECT_FALSE(buf.Next(&m));
  Feed(&buf, "D\nCMD:AL");
  ASSERT_TRUE(buf.Next(&m));
  EXPECT_EQ(m, "CMD:ALARM MCTP/1.0 CS\n@2@5\nEND\n");  // leading junk dropped
  EXPECT_EQ(buf.held(), 6u);                           // the next message's start stays
}

TEST(MctpEvents, FullBufferWithoutMessageIsDiscarded) {
  EventBuffer buf;
  std::string filler(EventBuffer::kCapacity, 'x');
  Feed(&buf, filler);
  std::string m;
  EXPECT_FALSE(buf.Next(&m));
  auto span = buf.PrepareWrite();
  EXPECT_EQ(span.size(), EventBuffer::kCapacity);
  Feed(&buf, "CMD:ALIVE MCTP/1.0 CS\nEND\n");
  EXPECT_TRUE(buf.Next(&m));
  buf.Commit(EventBuffer::kCapacity * 2);  // over-commit is clamped
  EXPECT_EQ(buf.held(), EventBuffer::kCapacity);
}

TEST(MctpEvents, MotionReportMasksValidLinesOnly) {
  EventMessage ev = ParseEventMessage(
      "CMD:MD MCTP/1.0 CS\n"
      "@0@1@0@10@20@30@40@0\n"      // region 0
      "@0@0@1@1@1@1@1@0\n"          // second value not 1: skipped
      "@0@1@16@1@1@1@1@0\n"         // region out of range: skipped
      "@0@1@-1@1@1@1@1@0\n"         // negative region: skipped
      "@0@1@2@1@1@1@1\n"            // only 7 values: skipped
      "@0@1@3@100@200@300@400@0\n"  // region 3
      "END\n");
  ASSERT_EQ(ev.kind, EventMessage::Kind::kMotion);
  EXPECT_EQ(ev.mask, 9u);
  EXPECT_EQ(ev.rect[0].left, 10);
  EXPECT_EQ(ev.rect[0].bottom, 40);
  EXPECT_EQ(ev.rect[3].top, 200);
  // A report with no valid region still reports (mask 0).
  EXPECT_EQ(ParseEventMessage("CMD:MD MCTP/1.0 CS\n@0@0@1@1@1@1@1@0\nEND\n").kind,
            EventMessage::Kind::kMotion);
  // Too short or too long: ignored.
  EXPECT_EQ(ParseEventMessage("CMD:MD MCTP/1.0 CS\nEND\n").kind, EventMessage::Kind::kIgnored);
  std::string long_msg = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 17; ++i) long_msg += "@0@1@1@1@1@1@1@0\n";
  EXPECT_EQ(ParseEventMessage(long_msg + "END\n").kind, EventMessage::Kind::kIgnored);
}

TEST(MctpEvents, AlarmReportNeedsFirstValueTwo) {
  EventMessage ev = ParseEventMessage("CMD:ALARM MCTP/1.0 CS\n@2@5\nEND\n");
  ASSERT_EQ(ev.kind, EventMessage::Kind::kAlarm);
  EXPECT_EQ(ev.alarm_input, 5);
  EXPECT_EQ(ParseEventMessage("CMD:ALARM MCTP/1.0 CS\n@1@5\nEND\n").kind,
            EventMessage::Kind::kIgnored);
  EXPECT_EQ(ParseEventMessage("CMD:ALARM MCTP/1.0 CS\n@2\nEND\n").kind,
            EventMessage::Kind::kIgnored);
  EXPECT_EQ(ParseEventMessage("CMD:ALARM MCTP/1.0 CS\n@2@5\n@2@6\nEND\n").kind,
            EventMessage::Kind::kMalformed);
  EXPECT_EQ(ParseEventMessage("CMD:ALIVE MCTP/1.0 CS\nEND\n").kind, EventMessage::Kind::kIgnored);
}

// ---- Recorder alarm channel -------------------------------------------------

TEST(NvrReports, ChannelAndTypeFormTheValue) {
  int32_t v = -1;
  ASSERT_TRUE(nvr::ParseReport("chan=3&type=2&", &v));
  EXPECT_EQ(v, 0x0203);
  ASSERT_TRUE(nvr::ParseReport("xx type=513&chan=258&yy", &v));  // low bytes only
  EXPECT_EQ(v, 0x0102);
  ASSERT_TRUE(nvr::ParseReport("chan=3&type=2", &v));  // type without '&' counts as 0
  EXPECT_EQ(v, 0x0003);
  ASSERT_TRUE(nvr::ParseReport("chan&type", &v));
  EXPECT_EQ(v, 0);
  ASSERT_TRUE(nvr::ParseReport("chan=-1&type=99999999999999999999&", &v));
  EXPECT_EQ(v & ~0xFFFF, 0);
  EXPECT_EQ(v & 0xFF, 0xFF);
  EXPECT_FALSE(nvr::ParseReport("chan=3&", &v));
  EXPECT_TRUE(nvr::HandshakeAccepted("ok"));
  EXPECT_TRUE(nvr::HandshakeAccepted("\nok\n"));
  EXPECT_FALSE(nvr::HandshakeAccepted("no"));
}

}  // namespace
}  // namespace quornet::mctp
