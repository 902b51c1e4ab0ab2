# Plain-Python twin of the orv_testparameters extension module.
#
# The same three classes with the same algorithms, written the straightforward
# way: methods call each other through `self`, names are found by scanning
# `_all_names`, every cell is fetched on its own with sheet.cell(row=, column=),
# and "int"/"eval" cells go through the built-in eval with this module's
# globals.  The benchmarks time the extension against it, and it can stand in
# for the extension while the latter cannot be imported.
#
# Mind the cost of the cell-by-cell reads on a read-only workbook (the kind
# BookParameters.load_sheet opens): openpyxl answers each sheet.cell() call
# there by parsing the sheet's XML from its start, so loading n rows takes
# time in n squared (about 3 s for 100 rows, 30 s for 400).  On an editable
# workbook cell() is a dictionary look-up; the benchmarks fill the reference
# books that way.
from openpyxl import load_workbook, Workbook
from typing import List


class Parameter:
    def __init__(self, name, desc="", value=None, low=None, up=None, unit="", _type="str"):
        self.name = name
        self.desc = desc
        self.value = value
        self.low = low
        self.up = up
        self.unit = unit
        self.type = _type


class SheetParameters:
    def __init__(self, support_eval=True):
        self._all_names = []
        self.__support_eval = support_eval
        self._sheet_name = None

    def sheet_name(self):
        return self._sheet_name

    def sheet_rename(self, new):
        assert isinstance(new, str)
        assert new != ""
        self._sheet_name = new

    @property
    def name(self):
        return self._sheet_name

    @name.setter
    def name(self, value):
        self.sheet_rename(value)

    @property
    def parameter_names(self) -> List[str]:
        return list(self._all_names)

    def load(self, book, sheetname, max_empty_row=0):
        if self._sheet_name is not None:
            if sheetname is None:
                sheetname = self._sheet_name
            elif sheetname != self._sheet_name:
                raise ValueError("Only one sheet parameters could be loaded into one SheetParameters object")
        else:
            if sheetname is None:
                raise ValueError("sheetname must be a valid string")
            self._sheet_name = sheetname
        if sheetname not in book.sheetnames:
            raise ValueError("Sheet \"%s\" *NOT* FOUND." % sheetname)
        sheet = book[sheetname]
        if sheet.max_row < 2:
            return None
        empty_row = 0
        for row in range(2, sheet.max_row + 1):
            name = sheet.cell(row=row, column=6).value
            if name is None or str(name).strip() == "":
                empty_row += 1
                if empty_row > max_empty_row:
                    break
                continue
            empty_row = 0
            desc = sheet.cell(row=row, column=1).value
            value = sheet.cell(row=row, column=2).value
            low = sheet.cell(row=row, column=3).value
            up = sheet.cell(row=row, column=4).value
            unit = sheet.cell(row=row, column=5).value
            _type = sheet.cell(row=row, column=7).value
            value = self._parse_value(value, _type)
            low = self._parse_value(low, _type)
            up = self._parse_value(up, _type)
            para = Parameter(name, desc, value, low, up, unit, _type)
            self.set_parameter(para)
        return None

    def set_parameter(self, *args, **kwargs):
        if len(args) > 0 and isinstance(args[0], Parameter):
            para = args[0]
        else:
            para = Parameter(*args, **kwargs)
        name = para.name
        setattr(self, name, para)
        if name not in self._all_names:
            self._all_names.append(name)

    def get_parameter(self, name, raise_exception=True) -> Parameter:
        if not self.has_parameter(name):
            if raise_exception:
                raise ValueError("Unknown parameter name.")
            return None
        return getattr(self, name)

    def get_prefix_count(self, prefix):
        count = 0
        for name in self._all_names:
            if name.startswith(prefix):
                count += 1
        return count

    def get_prefix_names(self, prefix):
        result = []
        for name in self._all_names:
            if name.startswith(prefix):
                result.append(name)
        return result

    def get_prefix_parameters(self, prefix):
        result = []
        for name in self._all_names:
            if name.startswith(prefix):
                result.append(getattr(self, name))
        return result

    def get_postfix_count(self, postfix):
        count = 0
        for name in self._all_names:
            if name.endswith(postfix):
                count += 1
        return count

    def get_postfix_names(self, postfix):
        result = []
        for name in self._all_names:
            if name.endswith(postfix):
                result.append(name)
        return result

    def get_postfix_parameters(self, postfix):
        result = []
        for name in self._all_names:
            if name.endswith(postfix):
                result.append(getattr(self, name))
        return result

    def has_parameter(self, name):
        return name in self._all_names

    def get_value(self, name, default=None):
        if name not in self._all_names:
            return default
        value = getattr(self, name).value
        if value is None and default is not None:
            return default
        return value

    get = get_value

    def set_value(self, name, value):
        para = self.get_parameter(name)
        para.value = value

    set = set_value

    def _parse_value(self, variable_content, variableType, default_type="str"):
        if variableType is None:
            variable_type = default_type
        else:
            variable_type = variableType.strip().lower()
        if variable_type == "":
            variable_type = default_type
        if variable_type == "auto":
            return variable_content
        if variable_content is None:
            return None
        variable_str = str(variable_content).strip()
        if variable_str == "":
            return None
        if variable_type == "unicode" or variable_type == "str" or variable_type == "string":
            return variable_str
        if variable_type == "bytes":
            return variable_str.encode("utf-8")
        if variable_type == "int":
            return int(eval(variable_str, globals(), dict(locals())))
        if variable_type == "float":
            return float(variable_str)
        if variable_type == "bool" or variable_type == "boolean":
            lowered = variable_str.lower()
            if lowered.startswith("t"):
                return True
            if lowered.startswith("y"):
                return True
            if lowered.startswith("1"):
                return True
            return False
        if variable_type == "eval":
            if self.__support_eval:
                return eval(variable_str, globals(), dict(locals()))
            raise ValueError("Variable type \"eval\" is not supported by this program.")
        raise TypeError("Unknown variable type: %s" % variableType)

    def save(self, book):
        if self._sheet_name in book.sheetnames:
            sheet = book[self._sheet_name]
        else:
            sheet = book.create_sheet(self._sheet_name)
            for idx, data in enumerate(["Description", "Value", "Low", "Up", "Unit", "Name", "Type"]):
                sheet.cell(row=1, column=idx + 1).value = data
        for idx, name in enumerate(self._all_names):
            row = idx + 2
            para = getattr(self, name)
            teval = para.type == "eval"
            sheet.cell(row=row, column=1).value = para.desc
            sheet.cell(row=row, column=2).value = str(para.value) if teval and para.value is not None else para.value
            sheet.cell(row=row, column=3).value = str(para.low) if teval and para.low is not None else para.low
            sheet.cell(row=row, column=4).value = str(para.up) if teval and para.up is not None else para.up
            sheet.cell(row=row, column=5).value = para.unit
            sheet.cell(row=row, column=6).value = para.name
            sheet.cell(row=row, column=7).value = para.type


class BookParameters:
    LIMIT_MODE_ABSOLUTE = 0
    LIMIT_MODE_RELATIVE = 1

    def __init__(self, bookname, support_eval=True):
        self.__all_sheet_parameters = []
        self.__support_eval = support_eval
        self.bookname = bookname

    def get_all_sheet_names(self):
        return [sheet.sheet_name() for sheet in self.__all_sheet_parameters]

    def sheet_rename(self, old: "unicode", new: "unicode"):
        # Same argument check as the extension's typed "unicode" parameters:
        # None or exactly str, subclasses refused.
        for argname, arg in (("old", old), ("new", new)):
            if arg is not None and type(arg) is not str:
                raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                                % (argname, "str", type(arg).__name__))
        names = self.get_all_sheet_names()
        if old not in names:
            raise ValueError("No sheet named \"%s\"." % old)
        if new in names:
            raise ValueError("Name \"%s\" already exists." % new)
        self.get_sheet_parameters(old).sheet_rename(new)

    def unload_sheet(self, sheetname):
        names = self.get_all_sheet_names()
        if sheetname in names:
            self.__all_sheet_parameters.pop(names.index(sheetname))

    def load_sheet(self, sheetname):
        names = self.get_all_sheet_names()
        idx = -1
        if sheetname in names:
            idx = names.index(sheetname)
            sheet_parameters = self.__all_sheet_parameters[idx]
        else:
            sheet_parameters = SheetParameters(self.__support_eval)
        book = load_workbook(self.bookname, read_only=True, data_only=True)
        sheet_parameters.load(book, sheetname)
        if idx == -1:
            self.__all_sheet_parameters.append(sheet_parameters)
        return sheet_parameters

    def has_sheet(self, sheetname):
        return sheetname in self.get_all_sheet_names()

    def get_sheet_parameters(self, sheetname, raise_exception=True):
        names = [sheet.sheet_name() for sheet in self.__all_sheet_parameters]
        if sheetname in names:
            return self.__all_sheet_parameters[names.index(sheetname)]
        if raise_exception:
            raise ValueError("Sheet \"%s\" not loaded." % sheetname)
        return None

    def get_parameter(self, name, raise_exception=True) -> Parameter:
        sheets = self.__all_sheet_parameters
        for i in range(len(sheets), 0, -1):
            sheet = sheets[i - 1]
            if sheet.has_parameter(name):
                return sheet.get_parameter(name)
        if raise_exception:
            raise ValueError("No parameter named \"%s\"." % name)
        return None

    def get_parameter_from_sheet(self, paraname, sheetname, raise_exception=True):
        names = self.get_all_sheet_names()
        if sheetname in names:
            return self.__all_sheet_parameters[names.index(sheetname)].get_parameter(paraname, raise_exception)
        if raise_exception:
            raise ValueError("Sheet \"%s\" not loaded." % sheetname)
        return None

    def has_parameter(self, name):
        for sheet in self.__all_sheet_parameters:
            if sheet.has_parameter(name):
                return True
        return False

    def get_value(self, name, default=None):
        para = self.get_parameter(name, default is None)
        if para is None:
            return default
        return para.value

    get = get_value

    def set_value(self, name, value):
        para = self.get_parameter(name)
        para.value = value

    set = set_value

    def get_low(self, name, default=None, mode: "int" = LIMIT_MODE_ABSOLUTE):
        para = self.get_parameter(name, default is None)
        if para is None:
            return default
        if mode == BookParameters.LIMIT_MODE_RELATIVE:
            return para.value + para.low
        return para.low

    def get_up(self, name, default=None, mode: "int" = LIMIT_MODE_ABSOLUTE):
        para = self.get_parameter(name, default is None)
        if para is None:
            return default
        if mode == BookParameters.LIMIT_MODE_RELATIVE:
            return para.value + para.up
        return para.up

    def save(self):
        book = load_workbook(self.bookname)
        for sheet_parameters in self.__all_sheet_parameters:
            sheet_parameters.save(book)
        book.save(self.bookname)

    def save_as(self, book_name):
        book = Workbook()
        sheets = self.__all_sheet_parameters
        if len(sheets) > 0:
            book.remove_sheet(book.active)
        for sheet_parameters in sheets:
            sheet_parameters.save(book)
        book.save(book_name)


__test__ = {}
