// OID-keyed dump of the IP-monitor settings and the whole output-stream
// database ("/tarvex_data/oiddata.conf"): written before an upgrade or an
// export, restored and deleted at the next start (master chip only).
#pragma once
#include "Common/err.h"
#include "Common/oid/avltree.h"
#include "Common/types.h"
#include <cstddef>

#define TARVEX_OID_FILE "/tarvex_data/oiddata.conf"
#define OID_KEY_NUM 179
#define OID_RECORD_HEAD_LEN 8  // key (U32), count (U16), unit length (U16)

// Version word of a dump: 1 before an upgrade (kept and skipped at start-up),
// 0xFFFF before an export, 0 forces the generation flags on when restored.
#define OID_VERSION_UPGRADE 1
#define OID_VERSION_EXPORT 0xFFFF

extern AVLTree sp_root;               // the store's tree during one save or restore
extern BOOL InitAlltableInsertEnFlag; // set while restoring a version-0 dump

U8 OID_CreateAvlTree(void);
void OID_SetValueInAvlTree(U16 key, U16 count, U16 index, U16 unitLen, void* value);
void OID_preorder_avltree(AVLTree tree);
void OID_ModifyVersionNumber(U16 u16newVersion);
// Steps of the restore: the records of a dump (version word first) into the
// tree built by OID_CreateAvlTree, false when one runs past the end; then
// the tree's values into the IP-monitor record and a rebuilt database,
// false (nothing changed) when the dump's capacities cannot be built.
bool OID_LoadAllValueFromFlash(const U8* data, size_t len);
bool OID_RecoveryAllParam(void);
// 0, or ZR_ERR_NOT_SAVED when the dump could not be written.
zrErrCode OIDDATA_Save(void);
// 0 when a dump was restored, 1 otherwise.
U8 OIDDATA_Recovery(void);
// The same at a start, through the planner: the restored output streams
// replace the live database only when their plan holds beside what is on
// air, and go on air and into the file in the same step; a refused one
// changes nothing and the dump is done with (logged). 0 when restored.
U8 OIDDATA_RecoveryPlanned(void);
