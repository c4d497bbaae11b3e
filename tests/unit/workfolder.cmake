# Unit tests of src/workfolder/.
kesto_add_wine_test(temp_folder_test SOURCES temp_folder_test.cpp)
