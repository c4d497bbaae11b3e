# Unit tests of src/log/ (the message formatter is tested natively:
# tests/native/format_test.cpp).
kesto_add_wine_test(log_test SOURCES log_file_test.cpp)
# In its child role "lock" it is one of the launchers whose log lock the tests
# contend for.
kesto_add_wine_test(log_lock_test SOURCES log_lock_test.cpp log_lock_process_test.cpp)
