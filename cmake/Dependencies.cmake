# Every third-party library the modules link, found once.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

find_package(fmt CONFIG REQUIRED)
find_package(nlohmann_json CONFIG REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(TBB CONFIG REQUIRED)
find_package(exiv2 CONFIG REQUIRED)
find_package(ZLIB REQUIRED)

pkg_check_modules(VIPS REQUIRED IMPORTED_TARGET vips-cpp)
pkg_check_modules(RAW REQUIRED IMPORTED_TARGET libraw_r)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo)

# pocketsphinx.pc names /usr/include/sphinxbase, which the Debian packages do not ship, so an
# imported pkg-config target fails; build the interface target by hand.
pkg_check_modules(PS REQUIRED pocketsphinx)
list(FILTER PS_INCLUDE_DIRS EXCLUDE REGEX "/usr/include/sphinxbase$")
add_library(pocketsphinx_lib INTERFACE)
target_include_directories(pocketsphinx_lib INTERFACE ${PS_INCLUDE_DIRS})
target_link_libraries(pocketsphinx_lib INTERFACE ${PS_LINK_LIBRARIES})
set(LW_SPEECH_MODEL_DIR /usr/share/pocketsphinx/model/en-us CACHE PATH "pocketsphinx en-us model folder")

if(LW_BUILD_TESTS OR LW_BUILD_BENCH)
  pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)
endif()
if(LW_BUILD_TESTS)
  find_package(GTest CONFIG REQUIRED)
endif()
if(LW_BUILD_BENCH)
  find_package(benchmark CONFIG REQUIRED)
endif()
