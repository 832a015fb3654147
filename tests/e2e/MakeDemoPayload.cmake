# Assembles a demo payload folder laid out like the real application, from the stand-ins.
#   cmake -DSTANDINS=<dir> -DDEMOLIB=<dll> -DUNINSTALLER=<exe> -DOUT=<dir> -DVERSION=<x.y.z>
#         -P MakeDemoPayload.cmake
# The till program of each version differs in its bytes (a version overlay after the image), so
# that an update visibly replaces it.
foreach(v STANDINS DEMOLIB UNINSTALLER OUT VERSION)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "MakeDemoPayload: ${v} not given")
  endif()
endforeach()

file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")

function(copy_as src dst)
  get_filename_component(dir "${OUT}/${dst}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  file(COPY_FILE "${src}" "${OUT}/${dst}")
endfunction()

# Till program with its version appended after the image; Windows ignores such an overlay.
copy_as("${STANDINS}/CorvaneZideroZUR.exe" "CorvaneZideroZUR.exe")
file(APPEND "${OUT}/CorvaneZideroZUR.exe" "CORVANE-DEMO-VERSION ${VERSION}")

copy_as("${STANDINS}/TarvikBridge.exe" "TarvikBridge.exe")
copy_as("${STANDINS}/OmnelBridge.exe" "OmnelBridge.exe")
copy_as("${DEMOLIB}" "CorvaneCore.dll")
copy_as("${DEMOLIB}" "CorvaneReports.dll")
copy_as("${DEMOLIB}" "sqlite3.dll")
copy_as("${UNINSTALLER}" "Uninstall Corvane Market Pos.exe")
copy_as("${STANDINS}/CorvaneMarketServer.exe" "CorvaneMarketServis/CorvaneMarketServer.exe")
copy_as("${STANDINS}/mariadbd.exe" "mariadb/bin/mariadbd.exe")
copy_as("${STANDINS}/mariadb.exe" "mariadb/bin/mariadb.exe")
copy_as("${STANDINS}/mariadb-install-db.exe" "mariadb/bin/mariadb-install-db.exe")

file(WRITE "${OUT}/version.json" "{\r\n  \"version\": \"${VERSION}\"\r\n}\r\n")
string(REPEAT "CVRES${VERSION};" 300 res)
file(WRITE "${OUT}/web_resources.res" "${res}")
file(WRITE "${OUT}/masaustu/index.html"
     "<!doctype html><title>Corvane Market ${VERSION}</title><p>Masaustu ${VERSION}</p>\r\n")
file(WRITE "${OUT}/masaustu/assets/app.js" "window.corvaneVersion = '${VERSION}';\r\n")
file(WRITE "${OUT}/masaustu/assets/style.css" "body { font-family: sans-serif; }\r\n")
# The payload's own connection file and shop data: an update must never copy them.
file(WRITE "${OUT}/pos-config.json" "{\r\n  \"host\": \"payload-${VERSION}\"\r\n}\r\n")
file(WRITE "${OUT}/Data/corvaneposdb/PAYLOAD_DATA_MUST_NOT_BE_COPIED.txt" "${VERSION}\r\n")
