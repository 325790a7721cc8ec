// The conversion rule in its plainest form: the whole input in one iconv pass.
#pragma once

#include <iconv.h>

#include <cerrno>
#include <string>
#include <string_view>

// A byte iconv rejects is kept and the pass resumes after it; a character cut off by the
// end of the input is kept as it is. False when iconv has no such conversion.
inline bool oracle_convert(std::string_view in, const char* from, const char* to,
                           std::string& out) {
  const std::string target = std::string(to) + "//TRANSLIT";
  iconv_t cd = iconv_open(target.c_str(), from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
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
      out.append(ip, left);
      break;
    }
    out.push_back(*ip++);
    --left;
  }
  char chunk[64];
  char* op = chunk;
  std::size_t room = sizeof chunk;
  iconv(cd, nullptr, nullptr, &op, &room);
  out.append(chunk, static_cast<std::size_t>(op - chunk));
  iconv_close(cd);
  return true;
}
