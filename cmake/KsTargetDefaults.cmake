# Options every target of the project gets, applied per target so that
# imported targets (GoogleTest) keep their own flags.
option(KS_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

function(ks_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KS_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
