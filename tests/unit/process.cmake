# Unit tests of src/process/.
kesto_add_wine_test(process_test SOURCES process_test.cpp)
