# What goes on the terminal (`cmake --install` with DESTDIR; docs/install.md):
# the application tree /opt/lpc3250 that an application upgrade replaces
# whole, the web server's /etc/boa (a link into that tree, so the password
# file survives upgrades with it) and the start script.
set(PATERM_MODULES_DIR "" CACHE PATH
    "Folder with codecdrv.ko and ctrldrv.ko built against the terminal's kernel (docs/kernel.md)")

# Paths in the tree are absolute on the terminal.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX / CACHE PATH "Root of the terminal's tree" FORCE)
endif()

set(PATERM_APP_DIR opt/lpc3250)
set(PATERM_WWW_DIR ${PATERM_APP_DIR}/usr/www)

install(TARGETS paterm DESTINATION ${PATERM_APP_DIR}/usr/bin)
install(TARGETS getextopts extopts DESTINATION ${PATERM_WWW_DIR}/cgi-bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/cgi/www/ DESTINATION ${PATERM_WWW_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/install/boa.conf DESTINATION ${PATERM_APP_DIR}/usr/etc/boa)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/install/S90paterm DESTINATION etc/init.d)
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/etc\")
  file(CREATE_LINK /${PATERM_APP_DIR}/usr/etc/boa
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/etc/boa\" SYMBOLIC)")

if(PATERM_MODULES_DIR)
  install(FILES ${PATERM_MODULES_DIR}/codecdrv.ko ${PATERM_MODULES_DIR}/ctrldrv.ko
          DESTINATION ${PATERM_APP_DIR}/modules)
else()
  install(CODE "message(WARNING \"no PATERM_MODULES_DIR: the tree has no kernel modules\")")
endif()
