# Flags for every target of both toolchains.
#
# The timeline must give the same bits natively and inside the Windows build: IEEE
# single precision with one rounding per operation. That rules out -ffast-math and
# contraction into fused multiply-adds; x86-64 already does its float arithmetic in SSE
# registers, which -mfpmath=sse only makes explicit.
add_compile_options(
    -Wall -Wextra
    -ffp-contract=off -fno-fast-math -msse2 -mfpmath=sse
    $<$<BOOL:${ZELTAVO_WARNINGS_AS_ERRORS}>:-Werror>)
