#!/usr/bin/env python3
"""Opens a PLY file with VTK's own PLY reader (the one ParaView uses) and
prints, as JSON, the point count and the point-data arrays it keeps, with
each array's type, component count and range.

Exits with status 3 when VTK's Python module is not installed."""
import json
import sys

try:
    import vtk
except ImportError:
    sys.exit(3)

reader = vtk.vtkPLYReader()
reader.SetFileName(sys.argv[1])
reader.Update()
if reader.GetErrorCode() != 0:
    sys.exit("VTK could not read " + sys.argv[1])
polydata = reader.GetOutput()
data = polydata.GetPointData()
arrays = {}
for i in range(data.GetNumberOfArrays()):
    a = data.GetArray(i)
    arrays[a.GetName()] = {"type": a.GetDataTypeAsString(), "components": a.GetNumberOfComponents(),
                           "range": list(a.GetRange(-1))}
json.dump({"points": polydata.GetNumberOfPoints(), "arrays": arrays}, sys.stdout)
