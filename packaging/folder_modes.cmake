# Run by CPack once the install is staged: the packages' folders are 0755,
# as their files are 0644 and the program 0755, whatever the umask of
# whoever builds them (CMake makes folders through the umask).
file(CHMOD_RECURSE ${CPACK_TEMPORARY_DIRECTORY} DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
