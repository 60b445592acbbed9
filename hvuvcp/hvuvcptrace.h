// The port driver's trace levels.
#pragma once

#define HVUVCP_TRACE 7             // the driver class
#define HVUVCP_TRACE_VCP 8         // the port object
#define HVUVCP_TRACE_CODES 9       // names of the control codes served
#define HVUVCP_TRACE_PARAMETERS 10 // request parameters
#define HVUVCP_TRACE_STATUS 11     // line and modem status
#define HVUVCP_TRACE_SETTINGS 12   // the settings set, value by value
#define HVUVCP_TRACE_STATS 13      // statistics
#define HVUVCP_TRACE_READ 14       // the read path
