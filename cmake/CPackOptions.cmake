# Read by cpack for each generator. Without dpkg-shlibdeps CPack quietly builds a .deb with
# no Depends at all, which installs fine and then fails to run: refuse instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(KIV_SHLIBDEPS dpkg-shlibdeps)
  if(NOT KIV_SHLIBDEPS)
    message(FATAL_ERROR "a .deb needs dpkg-shlibdeps for its dependencies (Debian: dpkg-dev)")
  endif()
endif()
