// The interactive 3D view of one structure, drawn with three.js.
//
// The page's #viewer element names the scene to draw (data-scene): atoms with
// colours and radii, half-bonds and the cell. Atoms of one colour and size are
// one instanced mesh, so large structures stay fluid. The view is drawn only
// when something changes (turning, zooming, resizing), never in a busy loop.
(function () {
  'use strict';

  var box = document.getElementById('viewer');
  if (!box || !window.THREE || !THREE.OrbitControls) {
    return;
  }

  function webglAvailable() {
    try {
      var canvas = document.createElement('canvas');
      return !!(window.WebGLRenderingContext &&
        (canvas.getContext('webgl') || canvas.getContext('experimental-webgl')));
    } catch (e) {
      return false;
    }
  }

  function say(text) {
    var note = box.querySelector('.viewer-note');
    if (note) {
      note.textContent = text;
    }
  }

  if (!webglAvailable()) {
    say('This browser cannot draw the 3D view (WebGL is off); the picture shows the structure.');
    return;
  }

  var BOND_RADIUS = 0.12;  // Å

  function groupBy(count, keyOf) {
    var groups = {};
    for (var i = 0; i < count; i++) {
      var key = keyOf(i);
      (groups[key] = groups[key] || []).push(i);
    }
    return groups;
  }

  // One instanced mesh per look. Each gets its own copy of the geometry: this
  // three.js revision binds instance attributes per geometry, so meshes that
  // shared one would all be drawn with the first mesh's instances. Culling is
  // off because the bounds three.js knows are the geometry's, not the instances'.
  function instanced(geometry, material, count) {
    var mesh = new THREE.InstancedMesh(geometry.clone(), material, count);
    mesh.frustumCulled = false;
    return mesh;
  }

  function addAtoms(scene, data, group) {
    var sphere = new THREE.SphereBufferGeometry(1, 28, 18);
    var byLook = groupBy(data.positions.length, function (i) {
      return data.colors[i] + '/' + data.radii[i];
    });
    var matrix = new THREE.Matrix4();
    Object.keys(byLook).forEach(function (key) {
      var members = byLook[key];
      var material = new THREE.MeshPhongMaterial({color: data.colors[members[0]], shininess: 40});
      var mesh = instanced(sphere, material, members.length);
      members.forEach(function (atom, k) {
        var p = data.positions[atom];
        var r = data.radii[atom];
        matrix.makeScale(r, r, r);
        matrix.setPosition(p[0], p[1], p[2]);
        mesh.setMatrixAt(k, matrix);
      });
      mesh.instanceMatrix.needsUpdate = true;
      group.add(mesh);
    });
  }

  // Each bond is two halves, each in the colour of the atom it starts from.
  function addBonds(scene, data, group) {
    if (!data.bonds.length) {
      return;
    }
    var cylinder = new THREE.CylinderBufferGeometry(1, 1, 1, 12, 1, false);
    var byColor = groupBy(data.bonds.length, function (b) {
      return data.colors[data.bonds[b][0]];
    });
    var up = new THREE.Vector3(0, 1, 0);
    var direction = new THREE.Vector3();
    var middle = new THREE.Vector3();
    var rotation = new THREE.Quaternion();
    var scale = new THREE.Vector3();
    var matrix = new THREE.Matrix4();
    Object.keys(byColor).forEach(function (color) {
      var members = byColor[color];
      var material = new THREE.MeshPhongMaterial({color: color, shininess: 20, side: THREE.DoubleSide});
      var mesh = instanced(cylinder, material, members.length);
      members.forEach(function (b, k) {
        var bond = data.bonds[b];
        var p = data.positions[bond[0]];
        direction.set(bond[1], bond[2], bond[3]);
        var half = direction.length() / 2;
        direction.normalize();
        middle.set(p[0], p[1], p[2]).addScaledVector(direction, half / 2);
        rotation.setFromUnitVectors(up, direction);
        scale.set(BOND_RADIUS, half, BOND_RADIUS);
        matrix.compose(middle, rotation, scale);
        mesh.setMatrixAt(k, matrix);
      });
      mesh.instanceMatrix.needsUpdate = true;
      group.add(mesh);
    });
  }

  function cellCorners(cell) {
    var corners = [];
    for (var k = 0; k < 8; k++) {
      var c = [0, 0, 0];
      for (var v = 0; v < 3; v++) {
        if (k >> v & 1) {
          for (var d = 0; d < 3; d++) {
            c[d] += cell[v][d];
          }
        }
      }
      corners.push(c);
    }
    return corners;
  }

  function addCell(scene, data, group) {
    var zero = data.cell.every(function (row) {
      return row.every(function (x) { return x === 0; });
    });
    if (zero) {
      return [];
    }
    var corners = cellCorners(data.cell);
    var edges = [[0, 1], [2, 3], [4, 5], [6, 7], [0, 2], [1, 3], [4, 6], [5, 7],
                 [0, 4], [1, 5], [2, 6], [3, 7]];
    var points = [];
    edges.forEach(function (e) {
      points.push(corners[e[0]][0], corners[e[0]][1], corners[e[0]][2],
                  corners[e[1]][0], corners[e[1]][1], corners[e[1]][2]);
    });
    var geometry = new THREE.BufferGeometry();
    geometry.setAttribute('position', new THREE.Float32BufferAttribute(points, 3));
    group.add(new THREE.LineSegments(geometry, new THREE.LineBasicMaterial({color: 0x4a5160})));
    return corners;
  }

  // The centre and radius of a sphere holding every atom and cell corner.
  function bounds(data, corners) {
    var points = data.positions.concat(corners);
    var centre = new THREE.Vector3();
    if (!points.length) {
      return {centre: centre, radius: 1};
    }
    var box3 = new THREE.Box3();
    points.forEach(function (p) {
      box3.expandByPoint(new THREE.Vector3(p[0], p[1], p[2]));
    });
    box3.getCenter(centre);
    var radius = 1;
    points.forEach(function (p, i) {
      var extra = i < data.radii.length ? data.radii[i] : 0;
      radius = Math.max(radius, centre.distanceTo(new THREE.Vector3(p[0], p[1], p[2])) + extra);
    });
    return {centre: centre, radius: radius};
  }

  function build(data) {
    var width = box.clientWidth;
    var height = box.clientHeight;
    var renderer = new THREE.WebGLRenderer({antialias: true, preserveDrawingBuffer: true});
    renderer.setPixelRatio(window.devicePixelRatio || 1);
    renderer.setSize(width, height);
    renderer.setClearColor(0xffffff, 1);
    box.appendChild(renderer.domElement);

    var scene = new THREE.Scene();
    var atoms = new THREE.Group();
    var bonds = new THREE.Group();
    var cell = new THREE.Group();
    addAtoms(scene, data, atoms);
    addBonds(scene, data, bonds);
    var corners = addCell(scene, data, cell);
    scene.add(atoms, bonds, cell);

    var b = bounds(data, corners);
    var camera = new THREE.PerspectiveCamera(35, width / height, b.radius / 100, b.radius * 100);
    var distance = b.radius / Math.sin(17.5 * Math.PI / 180) * 1.05;  // fills the 35° field
    // An oblique first look: from the front, a little above and to the side.
    var eye = new THREE.Vector3(0.45, -1.0, 0.55).normalize().multiplyScalar(distance);
    camera.up.set(0, 0, 1);
    camera.position.copy(b.centre).add(eye);
    camera.lookAt(b.centre);

    scene.add(new THREE.AmbientLight(0xffffff, 0.55));
    var light = new THREE.DirectionalLight(0xffffff, 0.65);
    light.position.set(1, 1, 2);
    camera.add(light);
    scene.add(camera);

    var controls = new THREE.OrbitControls(camera, renderer.domElement);
    controls.target.copy(b.centre);
    controls.update();
    controls.saveState();

    function render() {
      renderer.render(scene, camera);
    }
    controls.addEventListener('change', render);

    function toggle(id, group) {
      var input = document.getElementById(id);
      if (input) {
        input.addEventListener('change', function () {
          group.visible = input.checked;
          render();
        });
      }
    }
    toggle('viewer-cell', cell);
    toggle('viewer-bonds', bonds);
    var reset = document.getElementById('viewer-reset');
    if (reset) {
      reset.addEventListener('click', function () {
        controls.reset();
        render();
      });
    }
    window.addEventListener('resize', function () {
      var w = box.clientWidth;
      var h = box.clientHeight;
      renderer.setSize(w, h);
      camera.aspect = w / h;
      camera.updateProjectionMatrix();
      render();
    });

    render();
    box.classList.add('ready');
    box.setAttribute('data-ready', 'true');
  }

  fetch(box.getAttribute('data-scene'), {credentials: 'same-origin'})
    .then(function (response) {
      if (!response.ok) {
        throw new Error('the server answered ' + response.status);
      }
      return response.json();
    })
    .then(build)
    .catch(function (error) {
      say('The 3D view could not be drawn: ' + error.message);
    });
})();
