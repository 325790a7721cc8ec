// The conversion rule in its plainest form: the whole input in one iconv pass.
#pragma once

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <string>
#include <string_view>

// One pass from `from` to the iconv target name as given. A code unit iconv rejects (a
// byte, or two in UTF-16) is kept and the pass resumes after it; a character cut off by
// the end of the input is kept as it is; *kept counts such bytes. False when iconv has no
// such conversion.
inline bool iconv_pass(std::string_view in, const char* from, const char* target, std::string& out,
                       std::size_t* kept = nullptr) {
  iconv_t cd = iconv_open(target, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  const std::size_t unit = strncasecmp(from, "utf-16", 6) == 0 ? 2 : 1;
  if (kept != nullptr) *kept = 0;
  std::string buf(in);
  char* ip = buf.data();
  std::size_t left = buf.size();
  out.clear();
  while (left > 0) {
    char chunk[256];
    char* op = chunk;
    std::size_t room = sizeof chunk;
    const std::size_t rc = iconv(cd, &ip, &left, &op, &room);
    const int e = errno;
    out.append(chunk, static_cast<std::size_t>(op - chunk));
    if (rc != static_cast<std::size_t>(-1) || e == E2BIG) continue;
    if (e == EINVAL) {
      if (kept != nullptr) *kept += left;
      out.append(ip, left);
      break;
    }
    const std::size_t bad = left < unit ? left : unit;
    if (kept != nullptr) *kept += bad;
    out.append(ip, bad);
    ip += bad;
    left -= bad;
  }
  char chunk[64];
  char* op = chunk;
  std::size_t room = sizeof chunk;
  iconv(cd, nullptr, nullptr, &op, &room);
  out.append(chunk, static_cast<std::size_t>(op - chunk));
  iconv_close(cd);
  return true;
}

// The conversion rule: the pass above to the output page with transliteration.
inline bool oracle_convert(std::string_view in, const char* from, const char* to,
                           std::string& out) {
  return iconv_pass(in, from, (std::string(to) + "//TRANSLIT").c_str(), out);
}
