// Kernel-mode API of the machine. Each routine family has its own header under hv/.
#pragma once

#include <ntdef.h>
#include <ntstatus.h>

#if __has_include(<hv/ke.h>)
#include <hv/ke.h>
#endif
#if __has_include(<hv/ex.h>)
#include <hv/ex.h>
#endif
#if __has_include(<hv/rtl.h>)
#include <hv/rtl.h>
#endif
#if __has_include(<hv/ob.h>)
#include <hv/ob.h>
#endif
#if __has_include(<hv/zw.h>)
#include <hv/zw.h>
#endif
#if __has_include(<hv/ps.h>)
#include <hv/ps.h>
#endif
#if __has_include(<hv/dbg.h>)
#include <hv/dbg.h>
#endif
#if __has_include(<hv/io.h>)
#include <hv/io.h>
#endif
#if __has_include(<hv/po.h>)
#include <hv/po.h>
#endif
#if __has_include(<hv/pnp.h>)
#include <hv/pnp.h>
#endif
#if __has_include(<hv/wmi.h>)
#include <hv/wmi.h>
#endif
#if __has_include(<hv/mm.h>)
#include <hv/mm.h>
#endif
