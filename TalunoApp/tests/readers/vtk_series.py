#!/usr/bin/env python3
"""Opens a .pvd time series with VTK's own readers and prints, as JSON, each
frame's time, point count, vertex-cell count and point-data array names.

Exits with status 3 when VTK's Python module is not installed."""
import json
import os
import sys
import xml.etree.ElementTree as ElementTree

try:
    import vtk
except ImportError:
    sys.exit(3)

collection = sys.argv[1]
folder = os.path.dirname(collection)
frames = []
for dataset in ElementTree.parse(collection).getroot().iter("DataSet"):
    reader = vtk.vtkXMLPolyDataReader()
    reader.SetFileName(os.path.join(folder, dataset.get("file")))
    reader.Update()
    if reader.GetErrorCode() != 0:
        sys.exit("VTK could not read " + dataset.get("file"))
    polydata = reader.GetOutput()
    data = polydata.GetPointData()
    frames.append({
        "time": float(dataset.get("timestep")),
        "points": polydata.GetNumberOfPoints(),
        "verts": polydata.GetNumberOfVerts(),
        "arrays": sorted(data.GetArrayName(i) for i in range(data.GetNumberOfArrays())),
    })
json.dump(frames, sys.stdout)
