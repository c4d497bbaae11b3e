# Unit tests of src/launcher/.
kesto_add_wine_test(stage_machine_test SOURCES stage_machine_test.cpp)
kesto_add_wine_test(run_sequence_test SOURCES run_sequence_test.cpp)
