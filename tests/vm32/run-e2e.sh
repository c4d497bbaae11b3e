#!/usr/bin/env bash
# The end-to-end suite against the release stub dist/x86/kesto.exe, inside the
# 32-bit VM: the same test program and expectations as the x64 suite, built
# for i686 in build/x86, in one boot. Builds the VM image first if needed.
#
#   tests/vm32/run-e2e.sh [GTEST_FILTER]
#
# The default filter takes the cases a release needs proven on the 32-bit
# build; "*" runs the whole suite (slow: each launcher run costs tens of
# seconds under emulation).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build/x86

cases=(
  LogOfANormalRunHoldsExactlyTheseLines
  WholeTailReachesABatchEntryVerbatimOptionsIncluded
  ProgramEntryRunsInTheWorkFolderWithQuotedPathAndTail
  ExtractOnlyExpandsIntoARelativeFolderWithMissingLevelsAndStartsNothing
  PackageWithoutEntryFailsTheEntryStage
  StubWithoutPayloadFailsTheCopy
  DamagedOrTruncatedCabinetFailsTheExpansion
  UncreatableWorkFolderEndsEarlyWithItsTwoLines
  ClosedFromOutsideWaitsForTheEntryThenEndsWithTheInitialCode
  LogWaitsForTheLockNamedAfterTheLauncherPath
  TwoLaunchersFromOneFileRunSideBySide
  LibrariesPlantedBesideTheLauncherAreNeverLoaded
  WorkFolderIsPrivateToTheLauncher
  PackageWithADigestNeverExpandsChangedOrCutOffBytes
  ExpandProgramsPlantedOutsideTheSystemFolderNeverRun
  LogNameThatIsASecondNameOfAnotherFileIsNotWrittenThrough
  LockKeptByAnotherProcessDelaysARunBySecondsAndLosesNoLine
  FilesInTheCallersFoldersAreNeverWrittenThroughLinks
  BrandedPackageRunsAndShowsItsVersionAndIcon
)
default_filter=$(printf 'LauncherRun.%s:' "${cases[@]}")
filter=${1:-${default_filter%:}}

for needed in "$top/dist/x86/kesto.exe" "$build/tests/e2e/e2e_test.exe" "$build/tools/wine/expand.exe"; do
  [ -f "$needed" ] || { echo "run-e2e: $needed is missing; run 'make x86' first" >&2; exit 1; }
done
i686-w64-mingw32-objdump -f "$top/dist/x86/kesto.exe" | grep -q 'file format pei-i386' || { echo "run-e2e: dist/x86/kesto.exe is not PE32" >&2; exit 1; }

"$top/tests/vm32/vm.sh" image
# A 32-bit launcher asking for the system folder gets syswow64: the i686
# expand.exe stand-in goes there.
KESTO_VM_EXPAND_X86=$build/tools/wine/expand.exe \
exec "$top/tests/vm32/vm.sh" run \
  -e KESTO_STUB="$top/dist/x86/kesto.exe" \
  -e KESTO_TEST_DATA="$build/tests/data" \
  -e KESTO_TEST_TMP="$build/tests/tmp" \
  "$top" "wine build/x86/tests/e2e/e2e_test.exe --gtest_filter='$filter'"
