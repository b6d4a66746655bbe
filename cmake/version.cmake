# Version strings of the library. The Windows version resource and the Linux
# library's embedded copy are both generated from these values.
set(VOZI_FILE_VERSION_STRING "1.1.2" CACHE STRING "FileVersion string of the version resource")
set(VOZI_FILE_DESCRIPTION "Vozi" CACHE STRING "FileDescription string of the version resource")
set(VOZI_FIXED_FILE_VERSION "1,1,2400,0" CACHE STRING "Fixed file version, four comma-separated numbers")
set(VOZI_PRODUCT_VERSION_STRING "7.0.0" CACHE STRING "Version of the host release")
set(VOZI_FIXED_PRODUCT_VERSION "7,0,0,0" CACHE STRING "Fixed product version")
string(TIMESTAMP VOZI_BUILD_DATE "%Y-%m-%d %H:%M:%S")

string(REPLACE "," ";" _vozi_fv "${VOZI_FIXED_FILE_VERSION}")
list(GET _vozi_fv 0 VOZI_FV0)
list(GET _vozi_fv 1 VOZI_FV1)
list(GET _vozi_fv 2 VOZI_FV2)
list(GET _vozi_fv 3 VOZI_FV3)
set(VOZI_VERSION_DEFINITIONS)
