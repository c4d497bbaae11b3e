# The release stub travels with every package: it may not grow past this many
# bytes. The build checks it after every link (check-stub-hardening.cmake) and
# make bench reports against it (bench/run.sh reads this line).
set(KESTO_RELEASE_STUB_MAX_BYTES 40960)
