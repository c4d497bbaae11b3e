# Unit tests of src/payload/.

# A work folder whose MyData.cab is the Unix device that fails every write
# with "no space left on device".
file(MAKE_DIRECTORY ${KESTO_TEST_DATA}/full-disk)
file(CREATE_LINK /dev/full ${KESTO_TEST_DATA}/full-disk/MyData.cab SYMBOLIC)

kesto_add_wine_test(partial_copy_test SOURCES partial_copy_test.cpp)
