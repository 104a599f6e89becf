// libiscsi, loaded when an iSCSI target is first opened rather than with the program: it and
// the libraries it needs (verbs, RDMA, netlink) cost every start of velmtape a third of a
// short command's work, and most runs never reach a network drive.
#pragma once

#include <string>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

namespace host {

// Every libiscsi routine the transport calls, each named once.
#define VELMDAT_ISCSI_ROUTINES(X)       \
    X(iscsi_connect_async)              \
    X(iscsi_create_context)             \
    X(iscsi_destroy_context)            \
    X(iscsi_destroy_url)                \
    X(iscsi_get_error)                  \
    X(iscsi_get_fd)                     \
    X(iscsi_is_logged_in)               \
    X(iscsi_login_async)                \
    X(iscsi_logout_async)               \
    X(iscsi_parse_full_url)             \
    X(iscsi_scsi_cancel_task)           \
    X(iscsi_scsi_command_async)         \
    X(iscsi_service)                    \
    X(iscsi_set_header_digest)          \
    X(iscsi_set_initiator_username_pwd) \
    X(iscsi_set_noautoreconnect)        \
    X(iscsi_set_session_type)           \
    X(iscsi_set_target_username_pwd)    \
    X(iscsi_set_targetname)             \
    X(iscsi_which_events)               \
    X(scsi_create_task)                 \
    X(scsi_free_scsi_task)              \
    X(scsi_task_add_data_in_buffer)

struct IscsiLibrary {
#define VELMDAT_ISCSI_POINTER(name) decltype(&::name) name = nullptr;
    VELMDAT_ISCSI_ROUTINES(VELMDAT_ISCSI_POINTER)
#undef VELMDAT_ISCSI_POINTER
};

// The library, loaded on the first call; null with `error` set when it cannot be loaded or
// lacks a routine.
const IscsiLibrary* LoadIscsi(std::string& error);

}  // namespace host
