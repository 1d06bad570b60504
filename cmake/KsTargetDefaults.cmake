# Options every target of the project gets, applied per target so that
# imported targets (GoogleTest) keep their own flags.
option(KS_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# The fuzz configuration (tools/fuzz, clang only): every target gets the
# coverage instrumentation libFuzzer steers by, and fuzz/ is built.
option(KS_FUZZ "Build the fuzz targets with libFuzzer (clang)" OFF)

include(CheckCXXCompilerFlag)
include(CheckPIESupported)
# Makes POSITION_INDEPENDENT_CODE on an executable add -pie at link time,
# not only -fPIE at compile time.
check_pie_supported(LANGUAGES C CXX)
# Control-flow protection exists on x86 only; elsewhere the flag is refused.
check_cxx_compiler_flag(-fcf-protection KS_HAVE_CF_PROTECTION)

# The hardening a distribution gives a root daemon (Debian's dpkg-buildflags
# with hardening=+all, plus what newer releases of it add): position-
# independent executables, full RELRO with immediate binding, a stack
# protector, stack clash protection, format-string checks, fortified libc
# calls and a non-executable stack.
function(ks_target_hardening target)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE
    -fstack-protector-strong -fstack-clash-protection
    -Wformat -Werror=format-security)
  if(KS_HAVE_CF_PROTECTION)
    target_compile_options(${target} PRIVATE -fcf-protection)
  endif()
  target_link_options(${target} PRIVATE
    LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
  # _FORTIFY_SOURCE works only when the compiler optimises (glibc warns and
  # ignores it at -O0, which breaks the warning-free Debug build), and under
  # AddressSanitizer the fortified *_chk wrappers bypass its interceptors,
  # hiding the very overflows that build exists to find. So the sanitized
  # and the unoptimised builds go without it; every optimised build has it.
  if(NOT KS_SANITIZE)
    target_compile_definitions(${target} PRIVATE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()
endfunction()

function(ks_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  ks_target_hardening(${target})
  if(KS_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(KS_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()
