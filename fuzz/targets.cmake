# The fuzz targets, one line each: the source is fuzz/<name>_fuzz.cc and DEPS
# the libraries it exercises. Read by fuzz/CMakeLists.txt (the clang fuzz
# build makes fuzz_<name>) and by tests/fuzz/CMakeLists.txt (the test suite
# runs each one for a bounded time), which define quellsig_fuzz_target.
quellsig_fuzz_target(dns_reply DEPS quellsig_dns)
quellsig_fuzz_target(signature_tags DEPS quellsig_engine)
quellsig_fuzz_target(message DEPS quellsig_engine)
quellsig_fuzz_target(key_records DEPS quellsig_engine)
quellsig_fuzz_target(milter DEPS quellsig_milter)
