#include "convert/declarations.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codepages/registry.h"
#include "tests/support.h"

namespace {

// The names the declarations' readers know, as the issue lists them.
const char* markup_name(const char* page) {
  const char* const names[][2] = {
      {"cp866", "IBM866"},          {"cp1251", "windows-1251"},         {"koi8-r", "KOI8-R"},
      {"iso-8859-5", "ISO-8859-5"}, {"mac-cyrillic", "x-mac-cyrillic"}, {"utf-8", "UTF-8"}};
  for (const auto& n : names)
    if (std::strcmp(n[0], page) == 0) return n[1];
  return nullptr;
}
const char* editor_name(const char* page) { return page; }  // mac-cyrillic too: Python, Vim

struct row {
  const char* text;   // "{}" where the name stands, each time
  const char* name;   // as declared
  const char* names;  // the page it names, or "" for none of kiv's
  char readers;       // 'M' markup, 'E' editors, '-' no declaration kiv takes
};
// Every form, quoted and not, in any case; and what is not one.
const row rows[] = {
    {"<html><head><meta charset=\"{}\"><title>Т</title>", "windows-1251", "cp1251", 'M'},
    {"<HTML><META CHARSET={}>", "KOI8-R", "koi8-r", 'M'},
    {"<meta charset='{}' />", "cp866", "cp866", 'M'},
    {"<Meta Charset = \" {} \" >", "iso-8859-1", "", 'M'},
    {"<meta\nhttp-equiv=\"Content-Type\" content=\"text/html; charset={}\">", "koi8-r", "koi8-r",
     'M'},
    {"<meta content='text/html;charset={}' HTTP-EQUIV=content-type>", "CP1251", "cp1251", 'M'},
    {"<meta http-equiv=\"content-type\" content=\"text/html; charset='{}'\">", "x-mac-cyrillic",
     "mac-cyrillic", 'M'},
    {"<?xml version=\"1.0\" encoding=\"{}\"?>\n<doc/>", "UTF-16", "", 'M'},
    {"<?xml version='1.0' encoding='{}' standalone='yes'?>", "iso_8859-5:1988", "iso-8859-5", 'M'},
    {"<?xml version=\"1.0\" encoding=\"{}\"?>\n<html><meta http-equiv=\"Content-Type\" "
     "content=\"text/html; charset={}\"/>",
     "koi8r", "koi8-r", 'M'},
    {"@charset \"{}\";\nbody { color: red }", "utf8", "utf-8", 'M'},
    {"@CHARSET '{}' ;", "MacCyrillic", "mac-cyrillic", 'M'},
    {"# -*- coding: {} -*-\n", "koi8-r", "koi8-r", 'E'},
    {"#!/usr/bin/python\n# coding={}\n", "cp1251", "cp1251", 'E'},
    {";; -*- mode: text; coding: {}; fill-column: 70 -*-\n", "IBM866", "cp866", 'E'},
    {"/* -*-coding:{}-*- */\n", "cp866", "cp866", 'E'},
    {"# vim: set fileencoding={} :\n", "iso8859-5", "iso-8859-5", 'E'},
    {"// vim:fenc={}:ts=4\n", "Latin1", "", 'E'},
    {"text\n\" vim: set ts=8 fenc={} :\n", "utf-8", "utf-8", 'E'},
    {"#!/bin/sh\r\n# Vim: set FENC={} :\r\n", "windows-1251", "cp1251", 'E'},
    {"\n<?xml version=\"1.0\" encoding=\"{}\"?>", "koi8-r", "koi8-r", '-'},
    {" @charset \"{}\";", "koi8-r", "koi8-r", '-'},
    {"<?xml version=\"1.0\" encoding={}?>", "koi8-r", "koi8-r", '-'},
    {"one\ntwo\n# -*- coding: {} -*-\n", "koi8-r", "koi8-r", '-'},
    {"one\r\ntwo\r\n# vim: set fenc={} :\n", "koi8-r", "koi8-r", '-'},
    {"Notes on coding: {}\n", "koi8-r", "koi8-r", '-'},
    {"# novim: fenc={}\n", "koi8-r", "koi8-r", '-'},
    {"<meta name=\"charset\" content=\"{}\">", "koi8-r", "koi8-r", '-'},
    {"<metadata charset={}>", "koi8-r", "koi8-r", '-'},
    {"<meta charset=\"{}", "koi8-r", "koi8-r", '-'},
    {"<meta charset=\"{}; x\">", "koi8-r", "koi8-r", '-'},
};

std::string fill(const char* text, const char* name) {
  std::string s = text;
  for (std::size_t at; (at = s.find("{}")) != std::string::npos;) s.replace(at, 2, name);
  return s;
}
int count(const char* text) {
  int n = 0;
  for (const char* p = text; (p = std::strstr(p, "{}")) != nullptr; p += 2) ++n;
  return n;
}

const char* const pages[] = {"cp866",        "cp1251", "koi8-r",   "iso-8859-5",
                             "mac-cyrillic", "utf-8",  "utf-16le", "utf-16be"};
const char* const prose = "\nСтарый мост через реку, ёж и я.\n";

struct result {
  std::string head;
  int replaced;
};
result rewrite(const std::string& head, const char* from, const char* to) {
  unsigned char out[rewritten_head_max];
  std::size_t len = 0;
  const int n = rewrite_declarations(reinterpret_cast<const unsigned char*>(head.data()),
                                     head.size(), page_named(from), page_named(to), out, &len);
  return {std::string(reinterpret_cast<const char*>(out), len), n};
}

TEST(Declarations, EveryFormInEveryPage) {
  for (const row& r : rows)
    for (const char* from : pages)
      for (const char* to : pages) {
        if (!is_output_page(page_named(to))) continue;
        const std::string in = recode(fill(r.text, r.name) + prose, "utf-8", from);
        const bool stays =
            r.readers == '-' || std::strcmp(from, to) == 0 || std::strcmp(r.names, to) == 0;
        const char* now = r.readers == 'M' ? markup_name(to) : editor_name(to);
        const std::string want = stays ? in : recode(fill(r.text, now) + prose, "utf-8", from);
        const result got = rewrite(in, from, to);
        EXPECT_EQ(got.head, want) << r.text << " [" << r.name << "] " << from << " -> " << to;
        EXPECT_EQ(got.replaced, stays ? 0 : count(r.text)) << r.text << " " << from << " -> " << to;
      }
}

TEST(Declarations, AfterTheBomOnly) {
  for (const char* from : {"utf-8", "utf-16le", "utf-16be"}) {
    const std::string in =
        recode("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-16\"?>", "utf-8", from);
    const std::string want =
        recode("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"KOI8-R\"?>", "utf-8", from);
    EXPECT_EQ(rewrite(in, from, "koi8-r").head, want) << from;
  }
  // A BOM read in the other byte order is no BOM.
  const std::string swapped = recode("\xEF\xBB\xBF@charset \"x\";", "utf-8", "utf-16le");
  EXPECT_EQ(rewrite(swapped, "utf-16be", "utf-8").replaced, 0);
}

// Only the first 1024 bytes count, and a name they cut off is left alone.
TEST(Declarations, WithinTheFirstKilobyte) {
  for (const char* from : pages)
    for (const std::size_t pad : {1010, 1030}) {
      const std::string past =
          recode(std::string(pad, ' ') + "<meta charset=\"koi8-r\">" + prose, "utf-8", from);
      EXPECT_EQ(rewrite(past, from, "utf-8").replaced, 0) << from << " " << pad;
    }
  for (const char* from : pages) {
    const char* to = std::strcmp(from, "utf-8") == 0 ? "cp1251" : "utf-8";
    const std::string near = recode(std::string(450, ' ') + "<meta charset=latin1>", "utf-8", from);
    EXPECT_EQ(rewrite(near, from, to).replaced, 1) << from;
  }
  const std::string line = "# -*- " + std::string(1003, 'x') + " coding: koi8-r";  // 1024
  ASSERT_EQ(line.size(), declaration_window);
  EXPECT_EQ(rewrite(line + "\n", "koi8-r", "utf-8").replaced, 0);     // cut: "koi8-rx" may follow
  EXPECT_EQ(rewrite(line.substr(1), "koi8-r", "utf-8").replaced, 1);  // the whole file
}

// The hook serves the new head, then the rest of the file, however it is asked.
TEST(Declarations, ReadHookServesTheRewrittenFile) {
  char path[] = "/tmp/kiv-declarations-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  std::string rest;
  for (int i = 0; i < 300; ++i) rest += "строка " + std::to_string(i) + "\n";
  const std::string file = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"cp1251\"?>\n" + rest;
  ASSERT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
  for (const char* to : {"utf-8", "koi8-r"}) {
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    declared_input in;
    const bool same = std::strcmp(to, "utf-8") == 0;
    ASSERT_EQ(open_declared_input(in, fd, 3, page_named("utf-8"), page_named(to)), same ? 0 : 1);
    if (same) {
      EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // untouched
      continue;
    }
    std::string got;
    char buf[7];
    for (ssize_t n; (n = read_declared(&in, buf, sizeof buf)) > 0;) got.append(buf, n);
    EXPECT_EQ(got, "<?xml version=\"1.0\" encoding=\"KOI8-R\"?>\n" + rest);
  }
  close(fd);
}

}  // namespace
