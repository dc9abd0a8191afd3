# Run by CPack once the packages are made: signs the RPM with the OpenPGP
# key named by CPACK_GARVELUX_RPM_SIGN_KEY, as distributions sign theirs, so
# that zypper and dnf can check it against the key the desks trust. What
# rpmsign says reaches the build's output only when it fails.
if(CPACK_GARVELUX_RPM_SIGN_KEY)
  find_program(GPG gpg REQUIRED)
  foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.rpm$")
      execute_process(COMMAND rpmsign --addsign --define "__gpg ${GPG}"
                              --define "_gpg_name ${CPACK_GARVELUX_RPM_SIGN_KEY}" ${package}
                      RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
      if(failed)
        message(FATAL_ERROR "rpmsign failed: ${said}")
      endif()
    endif()
  endforeach()
endif()
