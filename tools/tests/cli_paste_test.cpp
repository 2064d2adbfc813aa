#include "cli_paste.h"

#include <gtest/gtest.h>

namespace {

using V = std::vector<std::string>;

TEST(PasteChord, ToolsGetTheChordInTheirOwnWords) {
  struct Case {
    const char *chord;
    V xdotool, wtype;
  } cases[] = {
      {"ctrl+v",
       {"x", "key", "--clearmodifiers", "ctrl+v"},
       {"w", "-M", "ctrl", "v", "-m", "ctrl"}},
      {"ctrl+shift+v",
       {"x", "key", "--clearmodifiers", "ctrl+shift+v"},
       {"w", "-M", "ctrl", "-M", "shift", "v", "-m", "shift", "-m", "ctrl"}},
      {"Shift+Insert",
       {"x", "key", "--clearmodifiers", "shift+Insert"},
       {"w", "-M", "shift", "-k", "Insert", "-m", "shift"}},
      {"Control+Super+v",
       {"x", "key", "--clearmodifiers", "ctrl+super+v"},
       {"w", "-M", "ctrl", "-M", "logo", "v", "-m", "logo", "-m", "ctrl"}},
      {"ctrl++",
       {"x", "key", "--clearmodifiers", "ctrl+plus"},
       {"w", "-M", "ctrl", "-k", "plus", "-m", "ctrl"}},
      {"F2", {"x", "key", "--clearmodifiers", "F2"}, {"w", "-k", "F2"}},
  };
  for (auto &c : cases) {
    host::Chord chord;
    std::string why;
    ASSERT_TRUE(host::parse_chord(c.chord, &chord, &why)) << c.chord << ": " << why;
    EXPECT_EQ(host::xdotool_paste("x", chord), c.xdotool) << c.chord;
    EXPECT_EQ(host::wtype_paste("w", chord), c.wtype) << c.chord;
  }
}

TEST(PasteChord, RefusedWithTheReason) {
  struct Case {
    const char *chord, *why;
  } cases[] = {
      {"", "no key in \"\": give modifiers and a key, such as ctrl+shift+v"},
      {"ctrl+", "no key in \"ctrl+\": give modifiers and a key, such as ctrl+shift+v"},
      {"ctrl+shift+",
       "no key in \"ctrl+shift+\": give modifiers and a key, such as ctrl+shift+v"},
      {"ctrl+page up",
       "no key in \"ctrl+page up\": give modifiers and a key, such as ctrl+shift+v"},
      {"hyper+v",
       "unknown modifier \"hyper\" in \"hyper+v\" (the modifiers are ctrl, shift, alt, "
       "super "
       "and altgr)"},
      {"+v",
       "unknown modifier \"\" in \"+v\" (the modifiers are ctrl, shift, alt, super and "
       "altgr)"},
  };
  for (auto &c : cases) {
    host::Chord chord;
    std::string why;
    EXPECT_FALSE(host::parse_chord(c.chord, &chord, &why)) << c.chord;
    EXPECT_EQ(why, c.why) << c.chord;
  }
}

}  // namespace
