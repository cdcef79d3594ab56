# The one way the scripts configure a build folder. Source it, then:
#   chair_configure DIR [CMAKE ARGS...]
# scripts/test and scripts/demo configure build/ alike, so that whichever runs second finds
# every object already compiled; what they add (the tests, a sanitizer) changes no compile
# command of the programs.
chair_configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHAIR_WERROR=ON "$@" >/dev/null
}
