#include <gtest/gtest.h>
#include <stdlib.h>

#include "cli_capture.h"
#include "cli_watch_wayland.h"

namespace {

using host::ClipKind;
using host::OfferVerdict;
using Types = std::optional<std::vector<std::string>>;

const std::vector<std::string> kText = {"text/plain", "text/plain;charset=utf-8",
                                        "UTF8_STRING"};

std::vector<std::string> with(std::vector<std::string> types, const char *more) {
  types.push_back(more);
  return types;
}

TEST(JudgeOffer, SecretsAndHintsThatCannotBeReadAreSkipped) {
  const auto hinted = with(kText, "x-kde-passwordManagerHint");
  struct Case {
    const char *what;
    ClipKind kind;
    Types types;
    std::optional<std::string> hint;
    OfferVerdict verdict;
  } cases[] = {
      {"plain text", ClipKind::text, kText, std::nullopt, OfferVerdict::record},
      {"a PNG image", ClipKind::image, std::vector<std::string>{"image/png"},
       std::nullopt, OfferVerdict::record},
      {"secret", ClipKind::text, hinted, "secret", OfferVerdict::secret},
      {"secret and a newline", ClipKind::text, hinted, "secret\n", OfferVerdict::secret},
      {"secret and a NUL", ClipKind::text, hinted, std::string("secret\0", 7),
       OfferVerdict::secret},
      {"a secret image", ClipKind::image,
       with({"image/png"}, "x-kde-passwordManagerHint"), "secret", OfferVerdict::secret},
      {"another value", ClipKind::text, hinted, "public", OfferVerdict::record},
      {"an empty value", ClipKind::text, hinted, "", OfferVerdict::record},
      {"not quite secret", ClipKind::text, hinted, "secrets", OfferVerdict::record},
      {"an unread hint", ClipKind::text, hinted, std::nullopt,
       OfferVerdict::hint_unreadable},
      {"a value without the hint offered", ClipKind::text, kText, "secret",
       OfferVerdict::record},
      {"types not listed", ClipKind::text, std::nullopt, std::nullopt,
       OfferVerdict::types_unreadable},
      {"types not listed, image", ClipKind::image, std::nullopt, std::nullopt,
       OfferVerdict::types_unreadable},
      {"text beside an image", ClipKind::text, with(kText, "image/png"), std::nullopt,
       OfferVerdict::image_offered},
      {"image beside a text", ClipKind::image, with(kText, "image/png"), std::nullopt,
       OfferVerdict::record},
      // The hint outranks the image: a secret text is not recorded as anything.
      {"secret beside an image", ClipKind::text,
       with(with(kText, "image/png"), "x-kde-passwordManagerHint"), "secret",
       OfferVerdict::secret},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(host::judge_offer(c.kind, c.types, c.hint), c.verdict) << c.what;
  }
}

TEST(ParseTypeList, OneTypeALineWithoutBlanksOrCarriageReturns) {
  EXPECT_EQ(host::parse_type_list("text/plain\nimage/png\n"),
            (std::vector<std::string>{"text/plain", "image/png"}));
  EXPECT_EQ(host::parse_type_list("text/plain\r\n\nUTF8_STRING"),
            (std::vector<std::string>{"text/plain", "UTF8_STRING"}));
  EXPECT_TRUE(host::parse_type_list("").empty());
}

TEST(WatchChildFailure, NamesTheCause) {
  setenv("WAYLAND_DISPLAY", "wayland-7", 1);
  struct Case {
    const char *child_said;
    const char *expected;
  } cases[] = {
      {"Watch mode requires a compositor that supports wlroots data-control protocol\n",
       "the Wayland compositor does not offer the data-control protocol"},
      {"Failed to connect to a Wayland server\n",
       "cannot connect to the Wayland display \"wayland-7\""},
      {"something else\nand its last line\n",
       "wl-paste --watch ended: the Wayland clipboard is no longer followed (and its "
       "last "
       "line)"},
      {"", "wl-paste --watch ended: the Wayland clipboard is no longer followed"},
  };
  for (const auto &c : cases) {
    std::string got = host::watch_child_failure(c.child_said);
    EXPECT_EQ(got.rfind(c.expected, 0), 0u) << got;
  }
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
