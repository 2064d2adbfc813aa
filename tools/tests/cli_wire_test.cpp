// The frames between a command and its server (cli_wire.h): what is whole,
// what is cut, what is refused, and that a request comes out as it went in.
#include "cli_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace w = host::wire;

namespace {

std::string u32(uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

std::string field(char tag, const std::string &bytes) {
  return std::string(1, tag) + u32(static_cast<uint32_t>(bytes.size())) + bytes;
}

std::string terminal(char flags, uint32_t columns) {
  return field('T', std::string(1, flags) + u32(columns));
}

w::Request full_request() {
  w::Request r;
  r.version = "quillmar-clip 1.0.0 wire 1 0123abcd";
  r.args = {"--store", "/s", "get", "", "-", std::string("caf\xc3\xa9 \n\t", 8)};
  r.cwd = "/home/me/work dir";
  r.env = {{"HOME", "/home/me"}, {"CLIPBOARD_STATE", "clear"}, {"COLUMNS", ""}};
  r.has_input = true;
  r.input = std::string("bytes\0with NUL\xff", 15);
  r.stdin_terminal = true;
  r.stdout_terminal = false;
  r.columns = 132;
  r.umask = 022;
  return r;
}

void expect_same(const w::Request &a, const w::Request &b) {
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.args, b.args);
  EXPECT_EQ(a.cwd, b.cwd);
  EXPECT_EQ(a.env, b.env);
  EXPECT_EQ(a.has_input, b.has_input);
  EXPECT_EQ(a.input, b.input);
  EXPECT_EQ(a.stdin_terminal, b.stdin_terminal);
  EXPECT_EQ(a.stdout_terminal, b.stdout_terminal);
  EXPECT_EQ(a.columns, b.columns);
  EXPECT_EQ(a.umask, b.umask);
}

TEST(Wire, RequestComesOutAsItWentIn) {
  for (bool input : {true, false}) {
    w::Request r = full_request();
    r.has_input = input;
    if (!input) r.input.clear();
    std::string framed;
    w::append_frame(&framed, w::kRequest, w::encode_request(r));
    w::Frame f;
    size_t used = 0;
    ASSERT_EQ(w::scan_frame(framed, w::kMaxRequest, &f, &used), w::Scan::whole);
    EXPECT_EQ(used, framed.size());
    EXPECT_EQ(f.type, w::kRequest);
    w::Request back;
    std::string why;
    ASSERT_TRUE(w::decode_request(f.payload, &back, &why)) << why;
    expect_same(r, back);
  }
}

TEST(Wire, StatusRequestNeedsNoCommand) {
  w::Request r;
  r.version = "v";
  r.status = true;
  w::Request back;
  std::string why;
  ASSERT_TRUE(w::decode_request(w::encode_request(r), &back, &why)) << why;
  EXPECT_TRUE(back.status);
  EXPECT_TRUE(back.args.empty());
}

TEST(Wire, EveryCutOfAFrameIsPartial) {
  std::string two;
  w::append_frame(&two, w::kOut, "first");
  size_t first = two.size();
  w::append_frame(&two, w::kErr, "");
  w::Frame f;
  size_t used = 0;
  for (size_t n = 0; n < first; ++n)
    EXPECT_EQ(w::scan_frame(std::string_view(two).substr(0, n), 100, &f, &used),
              w::Scan::partial)
        << n << " bytes";
  ASSERT_EQ(w::scan_frame(two, 100, &f, &used), w::Scan::whole);
  EXPECT_EQ(used, first);
  EXPECT_EQ(f.payload, "first");
  ASSERT_EQ(w::scan_frame(std::string_view(two).substr(used), 100, &f, &used),
            w::Scan::whole);
  EXPECT_EQ(f.type, w::kErr);
  EXPECT_EQ(f.payload, "");
}

TEST(Wire, AFrameLargerThanAllowedIsKnownFromItsHeader) {
  w::Frame f;
  size_t used = 0;
  // Only the header has come: the announced length is enough to refuse.
  EXPECT_EQ(w::scan_frame("Q" + u32(0xFFFFFFFFu), w::kMaxRequest, &f, &used),
            w::Scan::too_large);
  EXPECT_EQ(w::scan_frame("G" + u32(1), 0, &f, &used), w::Scan::too_large);
  EXPECT_EQ(w::scan_frame("Q" + u32(100), 100, &f, &used), w::Scan::partial);
}

TEST(Wire, MalformedRequestsAreRefusedWithAReason) {
  const std::string v = field('V', "v");
  const std::string cmd = field('A', "list") + field('D', "/");
  struct Case {
    const char *what;
    std::string payload;
  };
  const std::vector<Case> cases = {
      {"empty", ""},
      {"no version first", field('A', "list") + v + field('D', "/")},
      {"version twice", v + v + cmd},
      {"version longer than 256 bytes", field('V', std::string(257, 'v')) + cmd},
      {"field of unknown type", v + cmd + field('Z', "")},
      {"field cut short", v + cmd + "A" + u32(10) + "abc"},
      {"field header cut short", v + cmd + "A" + std::string("\x01\x00", 2)},
      {"length beyond the payload", v + "A" + u32(0xFFFFFFF0u)},
      {"argument with NUL", v + field('A', std::string("a\0b", 3)) + field('D', "/")},
      {"no command", v + field('D', "/")},
      {"no directory", v + field('A', "list")},
      {"relative directory", v + field('A', "list") + field('D', "home")},
      {"directory twice", v + cmd + field('D', "/")},
      {"directory with NUL", v + field('A', "list") + field('D', std::string("/a\0", 3))},
      {"environment not forwarded", v + cmd + field('E', "LD_PRELOAD=/x.so")},
      {"environment without =", v + cmd + field('E', "HOME")},
      {"environment twice", v + cmd + field('E', "HOME=/a") + field('E', "HOME=/b")},
      {"two inputs", v + cmd + field('I', "a") + field('I', "b")},
      {"input over the cap", v + cmd + field('I', std::string(w::kMaxInput + 1, 'x'))},
      {"terminal of 4 bytes", v + cmd + field('T', "\x01\x00\x00\x00")},
      {"terminal flags beyond two", v + cmd + terminal(4, 80)},
      {"terminal too wide", v + cmd + terminal(2, 100001)},
      {"terminal twice", v + cmd + terminal(0, 0) + terminal(0, 0)},
      {"umask beyond 0777", v + cmd + field('M', u32(01000))},
      {"umask of 2 bytes", v + cmd + field('M', "\x12\x00")},
      {"status not empty", v + field('S', "x")},
      {"status twice", v + field('S', "") + field('S', "")},
  };
  for (auto &c : cases) {
    w::Request r;
    std::string why;
    EXPECT_FALSE(w::decode_request(c.payload, &r, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
    // The reason is logged: it never quotes what the client sent.
    EXPECT_EQ(why.find("x.so"), std::string::npos) << c.what;
  }
  w::Request r;
  std::string why;
  EXPECT_TRUE(w::decode_request(v + cmd + field('I', std::string(w::kMaxInput, 'x')), &r,
                                &why))
      << why;
}

TEST(Wire, ServerInfoComesOutAsItWentIn) {
  w::ServerInfo i;
  i.version = "quillmar-clip 1.0.0 wire 1";
  i.pid = 4242;
  i.since = 1767225600;
  i.captures = 7;
  i.reason = "the server runs another version";
  w::ServerInfo back;
  ASSERT_TRUE(w::decode_info(w::encode_info(i), &back));
  EXPECT_EQ(back.version, i.version);
  EXPECT_EQ(back.pid, 4242);
  EXPECT_EQ(back.since, 1767225600);
  EXPECT_EQ(back.captures, 7u);
  EXPECT_EQ(back.reason, i.reason);
  // A later version may add fields; one cut short, or without a version,
  // is not an answer.
  EXPECT_TRUE(w::decode_info(w::encode_info(i) + field('Z', "more"), &back));
  std::string info = w::encode_info(i);
  EXPECT_FALSE(w::decode_info(info.substr(0, info.size() - 1), &back));
  EXPECT_FALSE(w::decode_info(field('P', u32(1) + u32(0)), &back));
  EXPECT_FALSE(w::decode_info(field('V', "v") + field('P', u32(1)), &back));
}

TEST(Wire, ExitStatusIsOneByteInFour) {
  int status = -1;
  EXPECT_TRUE(w::parse_exit(w::exit_payload(0), &status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(w::parse_exit(w::exit_payload(255), &status));
  EXPECT_EQ(status, 255);
  EXPECT_FALSE(w::parse_exit(w::exit_payload(256), &status));
  EXPECT_FALSE(w::parse_exit(w::exit_payload(-1), &status));
  EXPECT_FALSE(w::parse_exit("\x01\x00\x00", &status));
}

}  // namespace
