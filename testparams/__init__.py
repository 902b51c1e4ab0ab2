"""Command-line tool for parameter workbooks of ``orv_testparameters``.

``testparams show|get|set|check|new|diff`` reads and changes parameter
workbooks through the module's public classes; see ``testparams --help``.
"""
