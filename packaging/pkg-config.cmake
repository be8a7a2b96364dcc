# KELResMgr.pc for projects that find their libraries through pkg-config:
#   c++ host.cpp $(pkg-config --cflags --libs KELResMgr)
set(_kelres_pc_dir ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KELRES_PC_TO_PREFIX ${_kelres_pc_dir} ${CMAKE_INSTALL_PREFIX})
file(RELATIVE_PATH KELRES_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH KELRES_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/KELResMgr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/KELResMgr.pc
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KELResMgr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
