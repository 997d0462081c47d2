# The hardening a distribution builds its own programs with: fortified libc
# calls, stack protector, position-independent executables, read-only
# relocations resolved at start (ELF), and on Windows address-space layout
# randomisation with high-entropy addresses and a non-executable stack and
# heap. Every flag is tried on the compiler first, so a toolchain that lacks
# one (zig for macOS, an older clang) still builds, only without it. MSVC
# applies the same by default (/GS, /DYNAMICBASE, /NXCOMPAT, /HIGHENTROPYVA).
option(TOLVANER_HARDEN "Build with the distribution's hardening flags" ON)
if(NOT TOLVANER_HARDEN OR MSVC)
    return()
endif()

include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

set(hardening_compile_flags -fstack-protector-strong)
# Stack clash and control-flow protection exist only for some targets
# (x86 for the latter): probe rather than list architectures. clang takes a
# flag its target ignores with only a warning, so the probe makes it an error.
# Windows probes every large stack allocation already (__chkstk), and MinGW's
# GCC 12 crashes on stack clash protection in functions that never return.
set(hardening_optional_flags -fcf-protection)
if(NOT WIN32)
    list(PREPEND hardening_optional_flags -fstack-clash-protection)
endif()
set(CMAKE_REQUIRED_FLAGS -Werror)
foreach(flag ${hardening_optional_flags})
    string(MAKE_C_IDENTIFIER "TOLVANER_HAS${flag}" has_flag)
    check_cxx_compiler_flag(${flag} ${has_flag})
    if(${has_flag})
        list(APPEND hardening_compile_flags ${flag})
    endif()
endforeach()
unset(CMAKE_REQUIRED_FLAGS)
add_compile_options(${hardening_compile_flags})
# The driver links the protector's runtime where the C library has none (MinGW).
add_link_options(${hardening_compile_flags})

# The fortified calls need the optimiser (glibc warns without it), and would
# hide from AddressSanitizer the very calls it checks. A toolchain that
# defines the macro itself gets the same level, not a redefinition.
if(NOT TOLVANER_SANITIZE)
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()

if(WIN32)
    set(hardening_link_flags -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
elseif(NOT APPLE)
    set(hardening_link_flags -Wl,-z,relro -Wl,-z,now)
endif()
foreach(flag ${hardening_link_flags})
    string(MAKE_C_IDENTIFIER "TOLVANER_LINKS${flag}" has_flag)
    check_linker_flag(CXX ${flag} ${has_flag})
    if(${has_flag})
        add_link_options(${flag})
    endif()
endforeach()

# Executables as PIE. A program linked -static (the VM tests') sets
# POSITION_INDEPENDENT_CODE OFF itself: -static with -pie is no working pair.
if(NOT WIN32)
    check_pie_supported(OUTPUT_VARIABLE pie_output LANGUAGES CXX)
    if(CMAKE_CXX_LINK_PIE_SUPPORTED)
        set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    endif()
endif()
