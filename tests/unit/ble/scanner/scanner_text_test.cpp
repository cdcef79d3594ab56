// The scanner's text forms: service identifiers and the product-name filter.
#include <gtest/gtest.h>

#include "ble/scanner/scanner.h"

namespace chair::ble {
namespace {

TEST(ShortUuid, BaseRangeShortenedOthersKeptWhole) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"0000fe95-0000-1000-8000-00805f9b34fb", "fe95"},
      {"0000180F-0000-1000-8000-00805F9B34FB", "180f"},
      {"1234abcd-0000-1000-8000-00805f9b34fb", "abcd"},
      // One digit off the base: not an alias.
      {"0000180f-0000-1000-8000-00805f9b34fc", "0000180f-0000-1000-8000-00805f9b34fc"},
      {"{7772E5DB-3868-4112-A1A9-F2669D106BF3}", "7772e5db-3868-4112-a1a9-f2669d106bf3"},
  };
  for (auto& c : cases) EXPECT_EQ(short_uuid(*Uuid::parse(c.in)), c.out) << c.in;
}

TEST(ChairNameFilter, MatchesTheFullUpperCaseForm) {
  struct Case {
    const char* name;
    bool accepted;
  } cases[] = {
      {"TAMRO", true},
      {"  tamro-S1", true},
      {"TaMrO", true},
      {"\t\n\u00A0\u3000\u2028\u0085TAMRO", true},  // every kind of Unicode white space
      {"tamro\uFB06", true},                        // what follows the word is irrelevant
      {"", false},
      {"   ", false},
      {"TAMR", false},
      {"X TAMRO", false},
      {"\u200BTAMRO", false},                                                   // zero-width space is not white space
      {"\xFFTAMRO", false},                                                     // broken UTF-8 in front
      {"\xEF\xBC\xB4\xEF\xBC\xA1\xEF\xBC\xAD\xEF\xBC\xB2\xEF\xBC\xAF", false},  // full-width letters
      // Code points whose upper case starts with a letter of the word, but with a mark after it.
      {"\u1E97AMRO", false},  // t with diaeresis -> T U+0308
      {"T\u1E9AMRO", false},  // a with right half ring -> A U+02BE
      // Upper-case forms that are plain ASCII but not the word at the start.
      {"\uFB06AMRO", false},   // st ligature -> ST
      {"\uFB05AMRO", false},   // long s t ligature -> ST
      {"\u017FTAMRO", false},  // long s -> S
      {"\u0149TAMRO", false},  // n preceded by apostrophe -> U+02BC N
      {"\u00DFTAMRO", false},  // sharp s -> SS
  };
  for (auto& c : cases) EXPECT_EQ(is_chair_name(c.name), c.accepted) << c.name;
}

}  // namespace
}  // namespace chair::ble
