# The exit codes Wine cannot produce for real, in whole runs with one platform
# call chosen by the test.
kesto_add_wine_test(conformance_test SOURCES conformance_test.cpp DEPENDS kesto_test_packages)
